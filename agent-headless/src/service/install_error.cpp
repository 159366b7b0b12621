#include "service/install_error.h"

#include "base/constants.h"

namespace zunel {
namespace {

int position(FailureKind kind) { return static_cast<int>(kind); }

std::string explanation(FailureKind kind, std::int32_t code) {
  const std::string port = std::to_string(HTTP_PORT);
  switch (kind) {
    case FailureKind::WriteBlocked:
      return "Windows bloqueó la escritura durante la instalación. Ejecutá el instalador con tu "
             "propio usuario (no requiere administrador) y cerrá otras ventanas del instalador.";
    case FailureKind::AlreadyRunning:
      return "El agente de impresión ya está en ejecución. Detenelo con «zunel-print-agent stop» "
             "y volvé a ejecutar el instalador.";
    case FailureKind::Quarantined:
      return "Tu antivirus puso el agente en cuarentena. Autorizá «ZunelPrintAgent» en tu "
             "antivirus y volvé a instalar.";
    case FailureKind::BlockedByPolicy:
      return "Una política de tu organización está bloqueando la aplicación. Pedile a tu área de "
             "sistemas (IT) que autorice «ZunelPrintAgent».";
    case FailureKind::MissingFile:
      return "Falta un archivo de la instalación. Descargá el instalador de nuevo y volvé a "
             "ejecutarlo.";
    case FailureKind::PortInUse:
      return "Otra aplicación está usando el puerto " + port +
             " que el agente necesita. Cerrá esa aplicación o reiniciá el equipo, y volvé a "
             "instalar.";
    case FailureKind::LocalConnectionBlocked:
      return "Un firewall o software de seguridad está bloqueando la conexión local del agente "
             "(127.0.0.1:" + port + "). Autorizá esa conexión y reintentá.";
    case FailureKind::StartupFolderFailed:
      return "No se pudo configurar el auto-inicio en tu carpeta de usuario. Revisá que tu perfil "
             "de Windows no esté dañado ni restringido.";
    case FailureKind::NoAgentResponse:
      return "El agente se instaló pero no respondió al verificarlo. Cerrá sesión de Windows y "
             "volvé a entrar; el agente arranca solo al iniciar sesión (puede confirmarse en "
             "http://127.0.0.1:" + port + "/v1/ping).";
    case FailureKind::Unexpected:
      return "Ocurrió un error inesperado durante la instalación (código del sistema " +
             std::to_string(code) + "). Copiá este mensaje y contactá a soporte de ZUNEL.";
    case FailureKind::OtherUsersAgent:
      return "El agente de impresión que corre en esta PC es el de otro usuario de Windows, y solo "
             "un usuario a la vez puede imprimir con él. Pedile a ese usuario que lo detenga con "
             "«zunel-print-agent stop» (o que cierre su sesión) y volvé a ejecutar el instalador.";
    case FailureKind::Generic:
      break;
  }
  return {};
}

}  // namespace

std::string diagnostic_code(FailureKind kind) {
  if (kind == FailureKind::Generic) return {};
  std::string code = "D";
  code += std::to_string(position(kind) + 1);
  return code;
}

std::string render_install_error(const InstallError& error) {
  if (error.kind == FailureKind::Generic) return error.detail;
  std::string text = "[";
  text += diagnostic_code(error.kind);
  text += "] ";
  text += explanation(error.kind, error.code);
  if (!error.detail.empty()) text += "\n\nDetalle técnico (para soporte): " + error.detail;
  return text;
}

int install_exit_code(FailureKind kind) {
  if (kind == FailureKind::Generic) return 1;
  return 11 + position(kind);
}

}  // namespace zunel
