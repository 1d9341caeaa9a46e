#include "tests/support/child_process.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace test_support {
namespace {

constexpr UINT killedExitCode = 137;  // as a shell shows a child ended by SIGKILL

// Wine runs Windows programs on the Unix file system and shows its root as drive Z:, so a Unix
// path from the build system names the same file as "Z:" followed by the path with backslashes.
std::string nativePath(const std::string& path) {
  if (path.empty() || path[0] != '/')
    return path;
  std::string windowsPath = "Z:" + path;
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  return windowsPath;
}

// One argument as the C runtime's parser of the command line gives it back: in quotes when it is
// empty or holds a blank or a quote; inside them, a quote is escaped with a backslash, and so is
// each backslash that comes before a quote or the closing quote.
std::string quotedArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
    return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char character : argument) {
    if (character == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(character == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += character;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// A new empty file in the temporary folder, open for writing through a handle a child can
// inherit; others may read it while the child writes.
HANDLE makeTemporaryFile(std::string& path) {
  char folder[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "fsk", 0, name) == 0)
    return INVALID_HANDLE_VALUE;
  path = name;
  return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Keeps this process alive through the Ctrl+C it sends its child. A handler rather than the
// ignore flag, which every child started later would inherit and then never see a Ctrl+C.
BOOL WINAPI passOverInterrupt(DWORD event) {
  return event == CTRL_C_EVENT;
}

void closeIfValid(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE)
    CloseHandle(handle);
}

}  // namespace

struct ChildProcess::Native {
  PROCESS_INFORMATION info{};
  std::optional<int> exitCode;  // set once the child has been seen to end
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           ErrorStream errorStream, int /* standardOutput: POSIX only */,
                           int /* standardError: POSIX only */)
    : native_(std::make_unique<Native>()) {
  const HANDLE output = makeTemporaryFile(outputPath_);
  HANDLE error = output;
  errorPath_ = outputPath_;
  if (errorStream == ErrorStream::ownFile)
    error = makeTemporaryFile(errorPath_);
  const HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

  if (output != INVALID_HANDLE_VALUE && error != INVALID_HANDLE_VALUE &&
      input != INVALID_HANDLE_VALUE) {
    // Only the three standard handles pass to the child: Winsock sockets are inheritable, and a
    // client socket the test holds would otherwise stay open in the child after the test closes it.
    std::vector<HANDLE> handles = {input, output};
    if (error != output)
      handles.push_back(error);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    const bool listMade =
        InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                  handles.size() * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = error;
    startup.lpAttributeList = listMade ? attributes : nullptr;

    const std::string application = nativePath(program);
    // Appended piece by piece: GCC 12 warns, wrongly, about `"\"" + text`.
    std::string commandLine = "\"";
    commandLine.append(application).append("\"");
    for (const std::string& argument : arguments)
      commandLine.append(" ").append(quotedArgument(argument));
    // A console of its own (hidden), so that a console event can be sent to the child alone.
    const DWORD flags = CREATE_NEW_CONSOLE | (listMade ? EXTENDED_STARTUPINFO_PRESENT : 0);
    if (!CreateProcessA(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        nullptr, nullptr, &startup.StartupInfo, &native_->info)) {
      native_->info = PROCESS_INFORMATION{};
    }
    if (listMade)
      DeleteProcThreadAttributeList(attributes);
  }
  closeIfValid(input);
  closeIfValid(output);
  if (error != output)
    closeIfValid(error);
}

ChildProcess::~ChildProcess() {
  if (started()) {
    // Wine may keep the listening socket of a process ended by TerminateProcess open until its own
    // server exits, which takes the port from every later test: a child is first asked to stop.
    const bool running = !native_->exitCode;
    if (running && !(requestStop() && waitForExit(std::chrono::seconds(5)).has_value())) {
      TerminateProcess(native_->info.hProcess, killedExitCode);
      WaitForSingleObject(native_->info.hProcess, 30'000);
    }
    CloseHandle(native_->info.hThread);
    CloseHandle(native_->info.hProcess);
  }
  if (!outputPath_.empty())
    DeleteFileA(outputPath_.c_str());
  if (!errorPath_.empty() && errorPath_ != outputPath_)
    DeleteFileA(errorPath_.c_str());
}

bool ChildProcess::started() const {
  return native_->info.hProcess != nullptr;
}

bool ChildProcess::requestStop() {
  if (!started() || native_->exitCode)
    return false;
  // A console event reaches every process attached to the console, so this process joins the
  // child's console to send Ctrl+C. It passes over the event itself from then on, since the event
  // may reach it after it has left.
  const bool hadConsole = GetConsoleWindow() != nullptr;
  FreeConsole();
  const bool sent = AttachConsole(native_->info.dwProcessId) &&
                    SetConsoleCtrlHandler(passOverInterrupt, TRUE) &&
                    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  FreeConsole();
  if (hadConsole)
    AttachConsole(ATTACH_PARENT_PROCESS);
  return sent;
}

void ChildProcess::kill() {
  if (started() && !native_->exitCode)
    TerminateProcess(native_->info.hProcess, killedExitCode);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  if (!started() || native_->exitCode)
    return native_->exitCode;
  if (WaitForSingleObject(native_->info.hProcess, static_cast<DWORD>(limit.count())) !=
      WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  if (GetExitCodeProcess(native_->info.hProcess, &code))
    native_->exitCode = static_cast<int>(code);
  return native_->exitCode;
}

std::string undoTextMode(const std::string& written) {
  // Only the runtime puts a CR before an LF: the program's own LFs arrive as CR LF, and a CR the
  // program wrote before its LF arrives as CR CR LF.
  std::string meant;
  meant.reserve(written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '\r' && i + 1 < written.size() && written[i + 1] == '\n')
      continue;
    meant.push_back(written[i]);
  }
  return meant;
}

bool runningUnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace test_support
