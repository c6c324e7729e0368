#pragma once
// Starts a test server script as a child process and learns its port from the file it
// writes. The child's standard input is a pipe: closing it (at destruction) stops the server.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ph::test {

class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args, const std::string& portFile) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        m_stdin = fds[1];
        // Bounded: a server that never comes up fails the test instead of hanging it.
        for (int tries = 0; tries < 200 && m_pid > 0 && m_port == 0; ++tries) {
            std::ifstream in(portFile);
            if (!(in >> m_port)) std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~ServerProcess() {
        if (m_stdin >= 0) close(m_stdin);
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int Port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_port = 0;
};

// A server script of tests/fakes started in `dir` with `command`; it is told to write its port
// to a file there and to stop when its standard input closes. The directory is the server's:
// emptied before `layOut` puts what the server reads there, and removed once it has stopped.
class ScriptServer {
public:
    using LayOut = std::function<void(const std::filesystem::path& dir)>;

    ScriptServer(const std::filesystem::path& dir, std::vector<std::string> command,
                 const LayOut& layOut = {})
        : m_dir(dir) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (layOut) layOut(dir);
        const std::string portFile = (dir / "port").string();
        command.insert(command.end(), {"--port-file", portFile, "--stop-on-stdin-eof"});
        m_process = std::make_unique<ServerProcess>(command, portFile);
    }
    ~ScriptServer() {
        m_process.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    int Port() const { return m_process->Port(); }
    const std::filesystem::path& Dir() const { return m_dir; }

private:
    std::filesystem::path m_dir;
    std::unique_ptr<ServerProcess> m_process;
};

}  // namespace ph::test
