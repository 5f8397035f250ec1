// Test helper: a real Radicale (Debian package `radicale`) on a free loopback port,
// with its collections and users in a folder of the test's own.
//
//     pimtest::Radicale server(dir);           // dir holds config, users, collections, log
//     ASSERT_EQ(server.start(), "");           // or a message naming what is missing
//     server.url();                            // "http://127.0.0.1:PORT/"
//     server.kill();  server.start();          // goes away, comes back on the same port
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace pimtest {

class Radicale {
 public:
  explicit Radicale(std::filesystem::path dir, std::string user = "alice", std::string password = "secret")
      : dir_(std::move(dir)), user_(std::move(user)), password_(std::move(password)) {}
  ~Radicale() { stop(); }
  Radicale(const Radicale&) = delete;
  Radicale& operator=(const Radicale&) = delete;

  // Empty when Radicale runs here, else what is missing.
  static std::string missing() {
    int rc = std::system("radicale --version >/dev/null 2>&1");
    if (rc != 0)
      return "Radicale is missing or does not run (`radicale --version` failed): install the Debian package "
             "radicale (scripts/bootstrap.sh does)";
    return {};
  }

  // Starts the server (on the port it had before, after a kill). Empty on success, else why not.
  std::string start() {
    if (std::string m = missing(); !m.empty()) return m;
    if (pid_ > 0) return {};
    std::filesystem::create_directories(dir_ / "collections");
    if (port_ == 0) port_ = freePort();
    if (port_ == 0) return "no free loopback port for Radicale";
    {
      std::ofstream users(dir_ / "users", std::ios::trunc);
      users << user_ << ":" << password_ << "\n";
      std::ofstream config(dir_ / "config", std::ios::trunc);
      config << "[server]\nhosts = 127.0.0.1:" << port_ << "\n"
             << "[auth]\ntype = htpasswd\nhtpasswd_filename = " << (dir_ / "users").string()
             << "\nhtpasswd_encryption = plain\ndelay = 0\n"
             << "[rights]\ntype = owner_only\n"
             << "[storage]\nfilesystem_folder = " << (dir_ / "collections").string() << "\n"
             << "[logging]\nlevel = warning\n";
    }
    std::string config = (dir_ / "config").string();
    std::string log = (dir_ / "radicale.log").string();
    pid_t pid = ::fork();
    if (pid < 0) return "cannot start Radicale (fork failed)";
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies takes its server with it
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      ::execlp("radicale", "radicale", "--config", config.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pid_ = pid;
    // Ready when it accepts a connection.
    for (int i = 0; i < 300; ++i) {
      if (accepts()) return {};
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "Radicale stopped at start; its log: " + log;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    return "Radicale did not answer on 127.0.0.1:" + std::to_string(port_) + " within 15 s; its log: " + log;
  }

  // Gone at once, as a crashed server or a dropped network.
  void kill() { end(SIGKILL); }
  void stop() { end(SIGTERM); }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::string calendarUrl() const { return url() + user_ + "/calendar/"; }
  std::string contactsUrl() const { return url() + user_ + "/contacts/"; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // Where Radicale keeps a collection's items.
  std::filesystem::path collectionFolder(const std::string& name) const {
    return dir_ / "collections" / "collection-root" / user_ / name;
  }

 private:
  void end(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  static int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    ::close(s);
    return port;
  }

  bool accepts() const {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
  }

  std::filesystem::path dir_;
  std::string user_, password_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace pimtest
