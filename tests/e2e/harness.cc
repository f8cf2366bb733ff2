#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

// A descriptor of an unnamed temporary file, closed on exec so that no
// program run holds more descriptors than its standard streams.
int TempFd() {
  FILE* file = tmpfile();
  if (file == nullptr) throw std::runtime_error("tmpfile failed");
  const int fd = fcntl(fileno(file), F_DUPFD_CLOEXEC, 3);
  fclose(file);
  return fd;
}

std::string ReadFd(int fd) {
  std::string text;
  char buffer[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  close(fd);
  return text;
}

// The command that runs the Windows build under Wine, or null.
const char* WindowsProgram() {
  const char* program = getenv("VARNOK_E2E_WINDOWS_PROGRAM");
  return program != nullptr && *program != 0 ? program : nullptr;
}

const char* ProgramFile() { return WindowsProgram() ? WindowsProgram() : VARNOK_PROGRAM; }

// Whether Wine hands `argument` to the Windows program unchanged: it quotes
// only arguments with blanks or tabs and escapes quotes with backslashes,
// while the program's own splitting knows no escapes.
bool WinePassesIntact(const std::string& argument) {
  if (argument.empty() || argument.find('"') != std::string::npos) return false;
  if (argument.find_first_of(" \t") != std::string::npos) return argument.back() != '\\';
  return std::none_of(argument.begin(), argument.end(),
                      [](char c) { return c > 0 && c <= 32; });
}

std::vector<std::string> ProgramArgv(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {ProgramFile()};
  for (const std::string& argument : arguments) {
    if (TestingWindowsBuild() && !WinePassesIntact(argument)) {
      ADD_FAILURE() << "Wine cannot pass this argument unchanged: " << argument;
    }
    argv.push_back(argument);
  }
  return argv;
}

// In the child: standard streams as `options` asks, then the command.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const RunOptions& options,
                            int in, int out, int err) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // Only the standard streams go to the program: a descriptor that the test
  // runner left open would count against its limit.
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  if (options.close_stdin) close(0);
  if (options.close_stdout) close(1);
  if (options.max_open_files > 0) {
    struct rlimit limit = {static_cast<rlim_t>(options.max_open_files),
                           static_cast<rlim_t>(options.max_open_files)};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (options.max_file_size > 0) {
    struct rlimit limit = {static_cast<rlim_t>(options.max_file_size),
                           static_cast<rlim_t>(options.max_file_size)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  signal(SIGXFSZ, SIG_DFL);  // as for SIGPIPE: the program must ignore it itself
  signal(SIGPIPE, SIG_DFL);  // the program must guard itself, not inherit our guard
  setenv("VARNOK", ProgramFile(), 1);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int StdinFor(const RunOptions& options, int* feed) {
  *feed = -1;
  if (options.input_from_file) {
    int fd = TempFd();
    if (write(fd, options.input.data(), options.input.size()) < 0) throw std::runtime_error("write");
    lseek(fd, 0, SEEK_SET);
    return fd;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  *feed = ends[1];
  return ends[0];
}

int StdoutFor(const RunOptions& options) {
  if (options.stdout_to_full_device) return open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (options.stdout_to_closed_pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    close(ends[0]);
    return ends[1];
  }
  return TempFd();
}

int WaitWithTimeout(pid_t pid, int timeout_seconds) {
  struct timespec step = {0, 2000000};
  for (long waited = 0;; waited += 2) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (waited > timeout_seconds * 1000L) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    nanosleep(&step, nullptr);
  }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

bool TestingWindowsBuild() { return WindowsProgram() != nullptr; }

RunResult RunCommand(const std::vector<std::string>& argv, const RunOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  int feed = -1;
  int in = StdinFor(options, &feed), out = StdoutFor(options), err = TempFd();
  pid_t pid = fork();
  if (pid == 0) ExecChild(argv, options, in, out, err);
  close(in);
  if (feed >= 0) {
    if (write(feed, options.input.data(), options.input.size()) < 0) {
      // The program may end without reading.
    }
    close(feed);
  }
  RunResult result;
  result.status = WaitWithTimeout(pid, options.timeout_seconds);
  if (options.stdout_to_full_device || options.stdout_to_closed_pipe) close(out);
  else result.out = ReadFd(out);
  result.err = ReadFd(err);
  return result;
}

RunResult RunVarnok(const std::vector<std::string>& arguments, const RunOptions& options) {
  return RunCommand(ProgramArgv(arguments), options);
}

pid_t Start(const std::vector<std::string>& arguments) {
  return StartCommand(ProgramArgv(arguments));
}

pid_t StartCommand(const std::vector<std::string>& argv) {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) ExecChild(argv, RunOptions{}, null, null, null);
  close(null);
  return pid;
}

std::string WindowsTool() {
  const char* tool = getenv("VARNOK_E2E_WINDOWS_TOOL");
  return tool != nullptr ? tool : "";
}

bool WaitForFile(const std::string& path, int seconds) {
  struct timespec step = {0, 10000000};
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (access(path.c_str(), F_OK) == 0) return true;
    nanosleep(&step, nullptr);
  }
  return access(path.c_str(), F_OK) == 0;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string UsageScreen(const std::string& error, const std::string& echo) {
  std::string screen;
  for (const std::string& line :
       {std::string("varnok Version " VARNOK_VERSION), std::string("Copyright (c) 2026 The varnok developers"),
        std::string(), error, std::string(), echo, std::string(),
        std::string("Syntax: varnok {/|-}O[:]<script>:<section>.<key>=<value> {/|-}P[:]<Project "
                    "Dir>) [{/|-}S[:]<typ>]"),
        std::string(), std::string("Click Execute to finish ...")}) {
    screen += line + LineEnd();
  }
  return screen;
}

bool IsReport(const std::string& text, const std::string& kind, const std::string& message) {
  const std::string module = TestingWindowsBuild() ? "varnok.exe" : "varnok";
  const std::string head = "Exception " + kind + " in module " + module + " at ";
  const std::string tail = "." + LineEnd() + message + "." + LineEnd() + LineEnd();
  if (text.size() != head.size() + 8 + tail.size()) return false;
  for (size_t i = head.size(); i < head.size() + 8; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) || std::islower(text[i])) return false;
  }
  return text.compare(0, head.size(), head) == 0 && text.compare(head.size() + 8, tail.size(), tail) == 0;
}

std::string ProjectArg(const std::string& dir) { return "-P:" + ProgramPath(dir); }

std::string ProgramPath(const std::string& path) {
  if (!TestingWindowsBuild()) return path;
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

std::string AsRead(const std::string& text) {
  std::string read = text;
  if (TestingWindowsBuild()) std::replace(read.begin(), read.end(), '/', '-');
  return read;
}

std::string LineEnd() { return TestingWindowsBuild() ? "\r\n" : "\n"; }

int HoldWriteLock(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fd >= 0 && fcntl(fd, F_OFD_SETLKW, &lock) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

TempDir::TempDir() : TempDir(getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") {}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/varnok-e2e-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed in " + parent);
  path_ = pattern;
}

TempDir::~TempDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempDir::Write(const std::string& relative, const std::string& content) const {
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    mkdir((path_ + "/" + relative.substr(0, slash)).c_str(), 0755);
  }
  WriteFile(path_ + "/" + relative, content);
  return path_ + "/" + relative;
}

std::string TempDir::Read(const std::string& relative) const {
  return ReadFile(path_ + "/" + relative);
}

std::vector<std::string> TempDir::List(const std::string& relative) const {
  std::vector<std::string> names;
  if (DIR* dir = opendir((path_ + "/" + relative).c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace e2e
