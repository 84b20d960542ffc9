#include "tests/test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>


// The test helpers are POSIX-only test code; the launcher itself reaches
// the system only through platform/.

static void removeTree(const std::string& path) {
  std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" +
                    path + "'";
  (void)system(cmd.c_str());  // best effort: a leftover temp dir is harmless
}

ScopedTempDir::ScopedTempDir() {
  const char* base = getenv("TEST_TMPDIR");
  if (!base || !*base) base = "/tmp";
  std::string tmpl = std::string(base) + "/skiff_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) dir = buf.data();
}

ScopedTempDir::~ScopedTempDir() {
  if (!dir.empty()) removeTree(dir);
}

RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, int timeoutSeconds,
                     const std::string& cwd) {
  RunResult result{-1, "", ""};
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const std::string& e : env) {
      size_t eq = e.find('=');
      std::string name = e.substr(0, eq);
      std::string value = eq == std::string::npos ? "" : e.substr(eq + 1);
      if (value.empty())
        unsetenv(name.c_str());
      else
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  bool timedOut = false;
  while (open > 0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 +
                     (now.tv_nsec - start.tv_nsec) / 1000000;
    long leftMs = timeoutSeconds * 1000L - elapsedMs;
    if (leftMs <= 0) {
      timedOut = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(leftMs));
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buf, got);
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && !timedOut && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  return result;
}
