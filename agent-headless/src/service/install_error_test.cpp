#include "service/install_error.h"

#include <gtest/gtest.h>

#include "main/transliterate.h"

namespace zunel {
namespace {

struct KindCase {
  FailureKind kind;
  const char* code;
  int exit_code;
  const char* explanation;
};

// The explanations are the user-facing texts and must match letter for letter.
const KindCase kKinds[] = {
    {FailureKind::WriteBlocked, "D1", 11,
     "Windows bloqueó la escritura durante la instalación. Ejecutá el instalador con tu propio "
     "usuario (no requiere administrador) y cerrá otras ventanas del instalador."},
    {FailureKind::AlreadyRunning, "D2", 12,
     "El agente de impresión ya está en ejecución. Detenelo con «zunel-print-agent stop» y volvé "
     "a ejecutar el instalador."},
    {FailureKind::Quarantined, "D3", 13,
     "Tu antivirus puso el agente en cuarentena. Autorizá «ZunelPrintAgent» en tu antivirus y "
     "volvé a instalar."},
    {FailureKind::BlockedByPolicy, "D4", 14,
     "Una política de tu organización está bloqueando la aplicación. Pedile a tu área de sistemas "
     "(IT) que autorice «ZunelPrintAgent»."},
    {FailureKind::MissingFile, "D5", 15,
     "Falta un archivo de la instalación. Descargá el instalador de nuevo y volvé a ejecutarlo."},
    {FailureKind::PortInUse, "D6", 16,
     "Otra aplicación está usando el puerto 47631 que el agente necesita. Cerrá esa aplicación o "
     "reiniciá el equipo, y volvé a instalar."},
    {FailureKind::LocalConnectionBlocked, "D7", 17,
     "Un firewall o software de seguridad está bloqueando la conexión local del agente "
     "(127.0.0.1:47631). Autorizá esa conexión y reintentá."},
    {FailureKind::StartupFolderFailed, "D8", 18,
     "No se pudo configurar el auto-inicio en tu carpeta de usuario. Revisá que tu perfil de "
     "Windows no esté dañado ni restringido."},
    {FailureKind::NoAgentResponse, "D9", 19,
     "El agente se instaló pero no respondió al verificarlo. Cerrá sesión de Windows y volvé a "
     "entrar; el agente arranca solo al iniciar sesión (puede confirmarse en "
     "http://127.0.0.1:47631/v1/ping)."},
    {FailureKind::Unexpected, "D10", 20,
     "Ocurrió un error inesperado durante la instalación (código del sistema 1234). Copiá este "
     "mensaje y contactá a soporte de ZUNEL."},
    {FailureKind::OtherUsersAgent, "D11", 21,
     "El agente de impresión que corre en esta PC es el de otro usuario de Windows, y solo un "
     "usuario a la vez puede imprimir con él. Pedile a ese usuario que lo detenga con "
     "«zunel-print-agent stop» (o que cierre su sesión) y volvé a ejecutar el instalador."},
};

TEST(InstallError, EveryExplainedKindRendersCodeExplanationAndDetail) {
  for (const auto& c : kKinds) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(diagnostic_code(c.kind), c.code);
    EXPECT_EQ(install_exit_code(c.kind), c.exit_code);
    const InstallError with_detail{"lanzar el agente: acceso denegado", c.kind, 1234};
    EXPECT_EQ(render_install_error(with_detail),
              std::string("[") + c.code + "] " + c.explanation +
                  "\n\nDetalle técnico (para soporte): lanzar el agente: acceso denegado");
    // No technical-detail line at all when there is no detail.
    const InstallError without_detail{"", c.kind, 1234};
    EXPECT_EQ(render_install_error(without_detail), std::string("[") + c.code + "] " + c.explanation);
  }
}

TEST(InstallError, GenericShowsOnlyTheDetailAndExitsWithOne) {
  EXPECT_EQ(diagnostic_code(FailureKind::Generic), "");
  EXPECT_EQ(install_exit_code(FailureKind::Generic), 1);
  EXPECT_EQ(render_install_error({"no se pudo resolver %APPDATA%", FailureKind::Generic, 5}),
            "no se pudo resolver %APPDATA%");
}

TEST(InstallError, OnlyUnexpectedShowsTheSystemCodeWithItsSign) {
  EXPECT_NE(render_install_error({"", FailureKind::Unexpected, -1})
                .find("(código del sistema -1)"),
            std::string::npos);
  EXPECT_NE(render_install_error({"", FailureKind::Unexpected, 1260})
                .find("(código del sistema 1260)"),
            std::string::npos);
  EXPECT_EQ(render_install_error({"", FailureKind::WriteBlocked, 98765}).find("98765"),
            std::string::npos);
}

TEST(InstallError, AccessDeniedAtAgentStartReadsAsPlainAsciiOnTheConsole) {
  const InstallError e{"lanzar el agente: Acceso denegado. (código 5)", FailureKind::WriteBlocked, 5};
  EXPECT_EQ(transliterate_for_console(render_install_error(e)),
            "[D1] Windows bloqueo la escritura durante la instalacion. Ejecuta el instalador con "
            "tu propio usuario (no requiere administrador) y cerra otras ventanas del "
            "instalador.\n\nDetalle tecnico (para soporte): lanzar el agente: Acceso denegado. "
            "(codigo 5)");
}

}  // namespace
}  // namespace zunel
