#pragma once

// The Vault double (vault_double.py beside this header) as a child process of
// the test, with its state directory; control.json is written before it starts.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "test_support.h"

class VaultProcess {
public:
    VaultProcess(const std::string& dir, const std::string& control) {
        testsupport::WriteFileOrDie(dir + "/control.json", control);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], STDOUT_FILENO);
            const std::string script = std::string(DOVER_SOURCE_DIR) + "/tests/kms/kmsremote/vault_double.py";
            execlp("python3", "python3", script.c_str(), "--dir", dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The double prints its port once it listens.
        FILE* out = fdopen(fds[0], "r");
        if (out == nullptr || std::fscanf(out, "PORT %d", &port_) != 1) throw std::runtime_error("double did not start");
        std::fclose(out);
    }
    ~VaultProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    VaultProcess(const VaultProcess&) = delete;
    VaultProcess& operator=(const VaultProcess&) = delete;

    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};
