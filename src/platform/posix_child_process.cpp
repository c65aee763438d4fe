#include "platform/posix_child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace {

struct Pipe {
  int ends[2] = {-1, -1};
  ~Pipe() {
    for (int fd : ends)
      if (fd >= 0) ::close(fd);
  }
  int Take(int end) {
    const int fd = ends[end];
    ends[end] = -1;
    return fd;
  }
};

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

int SpawnChild(const ChildLaunch& launch, Child* child) {
  Pipe in, out, err;
  const std::pair<bool, Pipe*> pipes[] = {
      {launch.pipeIn, &in}, {launch.pipeOut, &out}, {launch.pipeErr, &err}};
  for (auto [wanted, pipe] : pipes)
    if (wanted && ::pipe2(pipe->ends, O_CLOEXEC) != 0) return errno;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.pipeIn) posix_spawn_file_actions_adddup2(&actions, in.ends[0], STDIN_FILENO);
  if (launch.pipeOut)
    posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDOUT_FILENO);
  else if (launch.outToNull)
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (launch.pipeErr)
    posix_spawn_file_actions_adddup2(&actions, err.ends[1], STDERR_FILENO);
  else if (launch.errToNull)
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (launch.inheritNothingElse) posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (launch.ownProcessGroup) {
    posix_spawnattr_setpgroup(&attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attr, flags);

  std::vector<std::string> args = launch.argv;
  std::vector<std::string> env = launch.env ? *launch.env : std::vector<std::string>{};
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, args.at(0).c_str(), &actions, &attr, argv.data(),
                                   launch.env ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (failed != 0) return failed;
  *child = Child{pid, in.Take(1), out.Take(0), err.Take(0)};
  return 0;
}
