// A private directory for a fuzz target's process: the softcsp store
// (XDG_DATA_HOME), HOME and the temporary folder all point into it, and it is
// removed again at exit. Fuzz targets only; never part of the program.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace kelto_fuzz {

inline std::string& sandboxRoot() {
  static std::string root;
  return root;
}

// libFuzzer reads its corpus directories and writes crash files after
// LLVMFuzzerInitialize, relative to the working directory: relative corpus
// paths and artifact prefixes are made absolute, and crash files go where the
// run was started (a prefix given, coming later, wins), not into the sandbox
// that is removed at exit.
inline void anchorArguments(int* argc, char*** argv) {
  static std::vector<std::string> kept;
  static std::vector<char*> args;
  const std::string cwd = std::filesystem::current_path().string() + "/";
  const std::string prefix = "-artifact_prefix=";
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    const size_t at = arg.rfind(prefix, 0) == 0 ? prefix.size() : 0;
    if (i > 0 && (at > 0 || arg[0] != '-') && arg.compare(at, 1, "/") != 0)
      arg.insert(at, cwd);
    kept.push_back(arg);
    if (i == 0) kept.push_back(prefix + cwd);
  }
  for (std::string& arg : kept) args.push_back(arg.data());
  args.push_back(nullptr);
  *argc = static_cast<int>(kept.size());
  *argv = args.data();
}

// Makes the directory, points the environment into it and makes it the
// working directory, so that relative paths in inputs stay inside. Exits
// the process when that cannot be done: nothing would be meaningful then.
inline const std::string& enterSandbox(const char* name, int* argc, char*** argv) {
  anchorArguments(argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  sandboxRoot() = templ;
  const std::string temp = templ + "/tmp";
  if (mkdir(temp.c_str(), 0700) != 0 || chdir(templ.c_str()) != 0) {
    std::perror(templ.c_str());
    std::exit(1);
  }
  setenv("XDG_DATA_HOME", (templ + "/data").c_str(), 1);
  setenv("HOME", templ.c_str(), 1);
  setenv("TMPDIR", temp.c_str(), 1);
  // The host stages under $XDG_RUNTIME_DIR when it is set: keep staging here.
  unsetenv("XDG_RUNTIME_DIR");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(sandboxRoot(), ignored);
  });
  return sandboxRoot();
}

// Fails the run loudly: libFuzzer records the input that got here.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

}  // namespace kelto_fuzz
