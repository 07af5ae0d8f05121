#pragma once
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "redis_store/connection.hpp"
#include "redis_store/redis_store.hpp"

namespace quellgate::redis_store::testing {

using namespace std::chrono_literals;

inline int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Debian's redis-server on a free port, without persistence, in a directory
// of its own; stopped by its PID. A missing server fails the test.
class RedisServer {
 public:
  RedisServer() : port_(free_port()), dir_(std::filesystem::temp_directory_path() / ("quellgate-redis-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    start();
  }
  ~RedisServer() {
    kill_now();
    std::filesystem::remove_all(dir_);
  }
  void start() {
    const std::string port = std::to_string(port_), dir = dir_.string(), log = (dir_ / "redis.log").string(),
                      socket = (dir_ / "redis.sock").string();
    pid_ = fork();
    if (pid_ == 0) {
      execl("/usr/bin/redis-server", "redis-server", "--port", port.c_str(), "--save", "", "--appendonly", "no",
            "--dir", dir.c_str(), "--logfile", log.c_str(), "--unixsocket", socket.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(10ms))
      if (ping()) return;
    FAIL() << "redis-server (/usr/bin/redis-server) did not answer PING on port " << port_;
  }
  void kill_now() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void signal(int number) const { ::kill(pid_, number); }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }
  std::string socket_url() const { return "redis+unix://" + (dir_ / "redis.sock").string(); }
  // Runs one command on a connection of its own; fails the test on an error.
  Reply command(std::vector<std::string> args) const {
    auto connection = Connection::open(*parse_redis_url(url()), 2s);
    if (!connection) return ADD_FAILURE() << connection.error().message, Reply{};
    auto reply = (*connection)->run_one(Command{std::nullopt, std::move(args)}, std::chrono::steady_clock::now() + 2s);
    if (!reply) return ADD_FAILURE() << reply.error().message, Reply{};
    return *reply;
  }

 private:
  bool ping() const {
    auto connection = Connection::open(*parse_redis_url(url()), 200ms);
    return connection && (*connection)->run_one(Command{std::nullopt, {"PING"}}, std::chrono::steady_clock::now() + 200ms);
  }
  int port_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

}  // namespace quellgate::redis_store::testing
