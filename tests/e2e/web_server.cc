// nginx and tinyproxy on 127.0.0.1 for end-to-end tests.
#include "e2e/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace updater::testing {

namespace {

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// Starts `command` (a program's path and its arguments) and waits until
// something accepts on `port`: the child's pid, or -1 when it ended first
// (the port was taken) or never listened, the child then killed.
pid_t StartServer(const std::vector<std::string>& command, int port) {
  std::vector<char*> arguments;
  for (const std::string& argument : command)
    arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execv(arguments[0], arguments.data());
    _exit(127);
  }
  for (int i = 0; i < 100; ++i) {
    if (Accepts(port)) return pid;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return -1;  // the port was taken
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Ends a server that StartServer started (when `pid` is one) and removes its
// work folder.
void StopServer(pid_t pid, const std::string& workFolder) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  std::error_code error;
  std::filesystem::remove_all(workFolder, error);
}

}  // namespace

int UnusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

WebServer::WebServer(const std::string& root) {
  namespace fs = std::filesystem;
  workFolder_ = fs::temp_directory_path() /
                ("voxa-nginx-" + std::to_string(getpid()) + "-" + std::to_string(UnusedPort()));
  fs::create_directories(workFolder_);
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    port_ = UnusedPort();
    // Files below /slow/ come at 256 KiB a second, for tests that watch a
    // download while it runs.
    const char* kSlowFolder = "    location /slow/ { limit_rate 256k; }\n";
    const std::string config = workFolder_ + "/nginx.conf";
    std::ofstream(config) << "daemon off;\n"
                          << "master_process off;\n"
                          << (geteuid() == 0 ? "user root;\n" : "") << "error_log " << workFolder_
                          << "/error.log;\n"
                          << "pid " << workFolder_ << "/nginx.pid;\n"
                          << "events { worker_connections 64; }\n"
                          << "http {\n"
                          << "  log_format sent '$uri $body_bytes_sent';\n"
                          << "  access_log " << workFolder_ << "/access.log sent;\n"
                          << "  default_type application/octet-stream;\n"
                          << "  client_body_temp_path " << workFolder_ << "/body;\n"
                          << "  proxy_temp_path " << workFolder_ << "/proxy;\n"
                          << "  fastcgi_temp_path " << workFolder_ << "/fastcgi;\n"
                          << "  uwsgi_temp_path " << workFolder_ << "/uwsgi;\n"
                          << "  scgi_temp_path " << workFolder_ << "/scgi;\n"
                          << "  server {\n"
                          << "    listen 127.0.0.1:" << port_ << ";\n"
                          << "    root " << root << ";\n"
                          << kSlowFolder << "  }\n"
                          << "}\n";
    pid_ = StartServer({"/usr/sbin/nginx", "-p", workFolder_, "-c", config}, port_);
  }
}

WebServer::~WebServer() { StopServer(pid_, workFolder_); }

std::vector<std::pair<std::string, int64_t>> WebServer::TakeRequests() {
  // nginx writes each line as its request ends, and appends: a truncated log
  // goes on from its start.
  const std::string log = workFolder_ + "/access.log";
  std::ifstream in(log);
  std::vector<std::pair<std::string, int64_t>> requests;
  std::string uri;
  for (int64_t bytes = 0; in >> uri >> bytes;) requests.emplace_back(uri, bytes);
  std::ofstream(log, std::ios::trunc).close();
  return requests;
}

ProxyServer::ProxyServer(const std::string& user, const std::string& password) {
  namespace fs = std::filesystem;
  workFolder_ = fs::temp_directory_path() /
                ("voxa-proxy-" + std::to_string(getpid()) + "-" + std::to_string(UnusedPort()));
  fs::create_directories(workFolder_);
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    port_ = UnusedPort();
    const std::string config = workFolder_ + "/tinyproxy.conf";
    std::ofstream(config) << "Port " << port_ << "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                          << "Timeout 60\nMaxClients 20\nLogLevel Connect\n"
                          << "LogFile \"" << workFolder_ << "/proxy.log\"\n"
                          << (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n");
    // In the foreground (-d), so that it stays this child.
    pid_ = StartServer({"/usr/bin/tinyproxy", "-d", "-c", config}, port_);
  }
}

ProxyServer::~ProxyServer() { StopServer(pid_, workFolder_); }

std::string ProxyServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ProxyServer::Requests() const {
  // A request is logged as "... Request (file descriptor N): GET URL HTTP/1.1".
  std::vector<std::string> urls;
  std::ifstream log(workFolder_ + "/proxy.log");
  for (std::string line; std::getline(log, line);) {
    const size_t get = line.find("): GET ");
    if (line.find("Request (") == std::string::npos || get == std::string::npos) continue;
    const size_t from = get + 7;
    urls.push_back(line.substr(from, line.find(' ', from) - from));
  }
  return urls;
}

std::string WebServer::BaseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

}  // namespace updater::testing
