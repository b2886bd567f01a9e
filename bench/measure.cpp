// vela-bench-measure COMMAND [ARGS...]: runs the command and prints its wall-clock seconds and
// peak resident memory in KiB ("seconds=S maxrss_kib=M status=X") on standard error.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vela-bench-measure COMMAND [ARGS...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || wait4(child, &status, 0, &usage) < 0) {
    std::perror("vela-bench-measure");
    return 2;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "seconds=%.3f maxrss_kib=%ld status=%d\n", seconds, usage.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
