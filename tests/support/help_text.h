#ifndef ZTV_TESTS_SUPPORT_HELP_TEXT_H
#define ZTV_TESTS_SUPPORT_HELP_TEXT_H

// What --help prints, byte for byte: the command-line parser's output in
// the unit tests and the program's stderr in the process tests (of a
// build whose timeline host is TIMELINE_HOST).

namespace testsupport {

inline constexpr char kHelp[] =
    "\n"
    "--bind|-b               Streaming ip address (default: 0.0.0.0)\n"
    "--port|-p               Streaming port (default: 8666)\n\n"
    "--timeline-host         Timeline host, host or host:port (default: " TIMELINE_HOST ")\n"
    "--players               Players served at once, 1 to 16 (default: 4)\n"
    "--ca-file               Trusted certificates for https, a PEM file (default: the system's)\n\n"
    "--channels              Channel list, a file of lines \"ID NAME\" (default: none)\n"
    "--device-id             Tuner id for media servers, 8 hex digits (default: derived)\n\n"
    "--lock|-L               Lock file (default: /var/run/zomaktvproxy.pid)\n"
    "--log|-l                Log file\n\n"
    "--daemon|-d             Daemon mode.\n\n"
    "--quiet|-q              Supresses all command output.\n"
    "--verbose|-v            Verbose command output.\n"
    "--debug|-z              Debug level command output.\n\n"
    "--help|-h               Prints this help screen.\n\n";

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_HELP_TEXT_H
