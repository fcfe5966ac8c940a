#include "CommandLine.h"

namespace app {

namespace {

bool TakesValue(std::string_view option) {
  return option == "--port" || option == "--trace" || option == "--report" ||
         option == "--run-events";
}

}  // namespace

TParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments, TProgramKind kind) {
  TParsedCommandLine parsed;
  TCommandLine& o = parsed.options;
  bool traceGiven = false;
  bool reportGiven = false;
  const bool console = kind == TProgramKind::Console;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string option = arguments[i];
    std::string value;
    bool hasValue = false;
    if (const auto eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
      hasValue = true;
      if (!TakesValue(option)) {
        parsed.error = "option '" + option + "' takes no value";
        return parsed;
      }
    } else if (TakesValue(option)) {
      // A following option is a forgotten value, not a port or file name.
      if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("--")) {
        value = arguments[++i];
        hasValue = true;
      }
    }

    if (option == "--port") {
      if (!hasValue || value.empty()) {
        parsed.error = "option '--port' needs a port name";
        return parsed;
      }
      o.ports.push_back(value);
    } else if (option == "--trace") {
      if (!hasValue || value.empty()) {
        parsed.error = "option '--trace' needs a file name";
        return parsed;
      }
      if (traceGiven) {
        parsed.error = "option '--trace' given more than once";
        return parsed;
      }
      traceGiven = true;
      o.traceFile = value;
    } else if (option == "--report") {
      if (!hasValue || value.empty()) {
        parsed.error = "option '--report' needs a file name";
        return parsed;
      }
      if (reportGiven) {
        parsed.error = "option '--report' given more than once";
        return parsed;
      }
      reportGiven = true;
      o.reportFile = value;
    } else if (option == "--help" || option == "-h") {
      o.help = true;
    } else if (option == "--version") {
      o.version = true;
    } else if (option == "--list-ports" && console) {
      o.listPorts = true;
    } else if (option == "--all" && console) {
      o.all = true;
    } else if (option == "--watch" && console) {
      o.watch = true;
    } else if (option == "--run-events" && console) {
      if (!hasValue || value.empty()) {
        parsed.error = "option '--run-events' needs a descriptor";
        return parsed;
      }
      if (!o.runEvents.empty()) {
        parsed.error = "option '--run-events' given more than once";
        return parsed;
      }
      o.runEvents = value;
    } else if (option.starts_with("-")) {
      parsed.error = "unknown option '" + option + "'";
      return parsed;
    } else {
      parsed.error = "unexpected argument '" + option + "'";
      return parsed;
    }
  }
  if ((o.all || o.watch) && o.listPorts) {
    parsed.error = std::string("options '") + (o.watch ? "--watch" : "--all") +
                   "' and '--list-ports' exclude each other";
  } else if ((o.all || o.watch) && !o.runEvents.empty()) {
    parsed.error = "option '--run-events' is for one port's run, not for --all or --watch";
  }
  return parsed;
}

std::string OptionsHelp(TProgramKind kind) {
  std::string help =
      "Options:\n"
      "  --port NAME     try this serial port instead of the ones the machine lists;\n"
      "                  repeat it to try several, in the order given\n"
      "  --trace FILE    write every byte sent and received, each port opened and\n"
      "                  closed, every status text and every message box to FILE,\n"
      "                  one line each, with the seconds since start\n"
      "  --report FILE   append a record of every run to FILE, one JSON object a\n"
      "                  line: start (UTC), version, image, port, the station's\n"
      "                  reply, outcome, message, exit status, duration, lines,\n"
      "                  resends, fillers, time-outs, the last acknowledged\n"
      "                  address, what the station holds, why ports were passed over\n";
  if (kind == TProgramKind::Console) {
    help +=
        "  --list-ports    print the serial ports the machine lists, one a line, and exit\n"
        "  --all           upgrade every station found at once: each port (the listed\n"
        "                  ones, or the --port names) gets a run of its own, and a\n"
        "                  table shows them all; with --trace FILE each port's run\n"
        "                  writes FILE.<port>, with --report FILE each appends its\n"
        "                  record to FILE\n"
        "  --watch         as --all, then keep running: upgrade the station on every\n"
        "                  port that appears (a --port name that does not exist yet\n"
        "                  is waited for), once per connection; key r upgrades the\n"
        "                  stations present again; Ctrl+C stops\n";
  }
  help +=
      "  -h, --help      print this help and exit\n"
      "  --version       print the version and the firmware image's hash, and exit\n";
  return help;
}

}  // namespace app
