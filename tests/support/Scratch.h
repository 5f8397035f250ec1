// Scratch places for every test program: a temporary folder, environment variables set for a
// scope, a registry file of the test's own, whole files read and written, a command's output.
//
//     pimtest::TempDir dir;                     // removed with everything in it at scope end
//     pimtest::Env env; env.set("TZ", "UTC");   // old values back at scope end
//     pimtest::ScratchRegistry reg;             // PIM_REGISTRY at a fresh file for the scope
#pragma once
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pimtest {

struct CommandResult {
  int status = -1;
  std::string out;  // standard output and standard error together
};

inline CommandResult runCommand(const std::string& command) {
  CommandResult r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// `s` as one word of a shell command line.
inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline void writeFile(const std::filesystem::path& p, const void* data, std::size_t size) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}
inline void writeFile(const std::filesystem::path& p, const std::string& text) { writeFile(p, text.data(), text.size()); }

inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pimtest-XXXXXX").string();
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  std::string str(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to `name` (its folders made as needed); the file's path.
  std::string put(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path p = path_ / name;
    std::filesystem::create_directories(p.parent_path());
    writeFile(p, bytes);
    return p.string();
  }

 private:
  std::filesystem::path path_;
};

// Environment variables set for the object's lifetime; the old values come back after it.
class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  ~Env() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
    ::tzset();
  }
  Env& set(const char* name, const std::string& value) {
    save(name);
    ::setenv(name, value.c_str(), 1);
    ::tzset();
    return *this;
  }
  Env& unset(const char* name) {
    save(name);
    ::unsetenv(name);
    return *this;
  }

 private:
  void save(const char* name) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// PIM_REGISTRY at a fresh file in a folder of its own for the object's lifetime.
class ScratchRegistry {
 public:
  ScratchRegistry() { env_.set("PIM_REGISTRY", file()); }
  std::string file() const { return dir_.str("registry.reg"); }
  std::string dir() const { return dir_.path().string(); }
  std::string contents() const { return readFile(file()); }
  void write(const std::string& text) const { writeFile(file(), text); }

 private:
  TempDir dir_;
  Env env_;
};

}  // namespace pimtest
