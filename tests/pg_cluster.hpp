#pragma once
// A throw-away PostgreSQL cluster for the tests of the store: made in a temporary folder, started
// on a free port of the loopback, stopped and removed when the object goes. Run as root (CI),
// the cluster belongs to the unprivileged user "postgres" that Debian's package makes, since the
// server refuses to run as root.

#include <arpa/inet.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "test_support.hpp"

namespace vela::test {
class pg_cluster {
 public:
  pg_cluster() {
    glob_t found{};
    if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) != 0 ||
        found.gl_pathc == 0) {
      ::globfree(&found);
      m_problem = "PostgreSQL's server is not installed (scripts/bootstrap installs it)";
      return;
    }
    const std::string initdb = found.gl_pathv[found.gl_pathc - 1];
    ::globfree(&found);
    m_bin = initdb.substr(0, initdb.size() - 6);
    const bool root = ::geteuid() == 0;
    if (root && ::getpwnam("postgres") == nullptr) {
      m_problem = "no user postgres to run the server as";
      return;
    }
    m_as = root ? "runuser -u postgres -- " : "";
    m_port = free_port();
    const std::string data = m_folder.file("data");
    if (root && std::system(("chown postgres " + shell_quote(m_folder.path())).c_str()) != 0) {
      m_problem = "cannot give the cluster's folder to postgres";
      return;
    }
    const std::string quiet = " >" + shell_quote(m_folder.file("log")) + " 2>&1";
    if (std::system((m_as + shell_quote(m_bin + "initdb") + " -D " + shell_quote(data) +
                     " -U postgres --auth=trust --no-sync -E UTF8" + quiet)
                        .c_str()) != 0 ||
        std::system((m_as + shell_quote(m_bin + "pg_ctl") + " -D " + shell_quote(data) +
                     " -w -t 60 -l " + shell_quote(m_folder.file("server.log")) +
                     " -o " +
                     shell_quote("-p " + std::to_string(m_port) +
                                 " -c listen_addresses=127.0.0.1 -c fsync=off -k " +
                                 m_folder.path()) +
                     " start" + quiet)
                        .c_str()) != 0) {
      m_problem = "the server did not start: see " + m_folder.file("server.log");
      return;
    }
    m_started = true;
  }
  pg_cluster(const pg_cluster&) = delete;
  pg_cluster& operator=(const pg_cluster&) = delete;
  ~pg_cluster() {
    if (m_started) {
      std::system((m_as + shell_quote(m_bin + "pg_ctl") + " -D " +
                   shell_quote(m_folder.file("data")) + " -m immediate stop >/dev/null 2>&1")
                      .c_str());
    }
  }

  // Why there is no server, empty when it runs.
  const std::string& problem() const { return m_problem; }
  // A new database of the cluster, by its URI.
  std::string new_database(const std::string& _name) const {
    std::system((m_as + shell_quote(m_bin + "createdb") + " -h 127.0.0.1 -p " +
                 std::to_string(m_port) + " -U postgres " + _name + " >/dev/null 2>&1")
                    .c_str());
    return uri(_name);
  }
  std::string uri(const std::string& _database) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_port) + "/" + _database;
  }
  // Runs _sql through psql on _database, in the background when _background (a lock held while
  // the test acts); its output in _out.
  std::string psql_command(const std::string& _database, const std::string& _sql) const {
    return m_bin + "psql -X -q -h 127.0.0.1 -p " + std::to_string(m_port) + " -U postgres -d " +
           _database + " -c " + shell_quote(_sql);
  }

 private:
  static int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
  }

  temp_folder m_folder;
  std::string m_bin;
  std::string m_as;
  int m_port = 0;
  bool m_started = false;
  std::string m_problem;
};
}  // namespace vela::test
