// tshift: the terminal host of the Orvanta Time Shift filter. Parses the command line and runs
// one command on the main thread, with no crash dialog and no error box: every failure ends in a
// one-line message and a non-zero exit status.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "framework/ComKit.h"
#include "include/OVTimeShift.h"
#include "tools/tshift/Commands.h"
#include "tools/tshift/HostSupport.h"

namespace {

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  char text[96];
  std::snprintf(text, sizeof text, "tshift: internal error (exception 0x%08lX); stopping\n",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
  ovts::tshift::WriteError(text);
  TerminateProcess(GetCurrentProcess(), ovts::tshift::kExitError);
  return EXCEPTION_EXECUTE_HANDLER;
}

int Dispatch(const ovts::tshift::Options& options) {
  using ovts::tshift::Command;
  switch (options.command) {
    case Command::kDemo: return ovts::tshift::RunDemo(options);
    case Command::kPlay: return ovts::tshift::RunPlay(options);
    case Command::kPages: return ovts::tshift::RunPages(options);
    case Command::kCtl: return ovts::tshift::RunCtl(options);
    case Command::kRegister:
    case Command::kUnregister: return ovts::tshift::RunRegister(options);
    case Command::kSettingsShow:
    case Command::kSettingsSet: return ovts::tshift::RunSettings(options);
    case Command::kHelp: break;
  }
  std::vector<std::string> names;
  for (const TSSettingInfo& setting : kTSSettings) names.emplace_back(setting.name);
  const std::string usage = ovts::tshift::UsageText(names);
  ovts::tshift::WriteOutput(usage);
  return ovts::tshift::kExitOk;
}

}  // namespace

int main() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(OnUnhandledException);

  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.push_back(ovts::tshift::Narrow(argv[i]));
  if (argv) LocalFree(argv);

  const ovts::tshift::ParseResult parsed = ovts::tshift::ParseCommandLine(args);
  if (!parsed.ok) {
    ovts::tshift::WriteError("tshift: " + parsed.error + "\n");
    return ovts::tshift::kExitUsage;
  }
  ovts::ComApartment com;
  if (FAILED(com.result())) return ovts::tshift::Fail("cannot join COM: " + ovts::tshift::ErrorText(com.result()));
  return Dispatch(parsed.options);
}
