#include "main/transliterate.h"

#include <gtest/gtest.h>

namespace zunel {
namespace {

struct Case {
  const char* input;
  const char* expected;
};

TEST(Transliterate, ReducesEachTableRowToItsStandIn) {
  const Case cases[] = {
      {"ÀÁÂÄ", "AAAA"}, {"ÈÉÊË", "EEEE"}, {"ÌÍÎÏ", "IIII"}, {"ÒÓÔÖ", "OOOO"},
      {"ÙÚÛÜ", "UUUU"}, {"Ñ", "N"},       {"àáâä", "aaaa"}, {"èéêë", "eeee"},
      {"ìíîï", "iiii"}, {"òóôö", "oooo"}, {"ùúûü", "uuuu"}, {"ñ", "n"},
      {"¡Hola!", "Hola!"}, {"¿Qué?", "Que?"},
      {"«a» “b”", "\"a\" \"b\""}, {"‘c’", "'c'"}, {"a–b—c", "a-b-c"},
      {"Espera…", "Espera..."}, {"x → y", "x > y"}, {"corriendo ✓", "corriendo OK"},
  };
  for (const auto& c : cases) EXPECT_EQ(transliterate_for_console(c.input), c.expected) << c.input;
}

TEST(Transliterate, OtherNonAsciiBecomesOneQuestionMarkEach) {
  const Case cases[] = {
      {"ÃãÕõÅå", "??????"}, {"Çç", "??"}, {"Ææ", "??"}, {"Øø", "??"},
      {"São", "S?o"},       {"€5", "?5"}, {"👍", "?"},  {"\xc2\xa0", "?"},  // no-break space
  };
  for (const auto& c : cases) EXPECT_EQ(transliterate_for_console(c.input), c.expected) << c.input;
}

TEST(Transliterate, LeavesAsciiAloneIncludingControlCharacters) {
  const std::string ascii = "plain\ttext\nwith\rcontrols\x01 and ~";
  EXPECT_EQ(transliterate_for_console(ascii), ascii);
  EXPECT_EQ(transliterate_for_console(""), "");
}

TEST(Transliterate, ConsoleTextsOfTheCommands) {
  EXPECT_EQ(transliterate_for_console("Código de emparejamiento: "), "Codigo de emparejamiento: ");
  EXPECT_EQ(transliterate_for_console(
                "Éntralo en el ERP → Configuración → Agente de impresión (caduca pronto)."),
            "Entralo en el ERP > Configuracion > Agente de impresion (caduca pronto).");
  EXPECT_EQ(transliterate_for_console("instalado (Startup) y corriendo ✓"),
            "instalado (Startup) y corriendo OK");
}

TEST(Transliterate, MalformedUtf8NeverEscapesAsNonAscii) {
  const Case cases[] = {
      {"a\xff" "b", "a?b"}, {"\xc3", "?"}, {"\xc3" "A", "?A"}, {"\x80", "?"}, {"\xe2\x86", "?"}, {"\xe0\x83\xa9" "!", "?!"},
  };
  for (const auto& c : cases) EXPECT_EQ(transliterate_for_console(c.input), c.expected);
}

}  // namespace
}  // namespace zunel
