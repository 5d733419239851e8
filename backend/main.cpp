// greetwell-backend: the local stand-in for the hosted backend (auth/v1, rest/v1).

#include "Backend.h"
#include "Config.h"
#include "Demo.h"
#include "Website.h"

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <thread>

int main(int argc, char **argv) {
    Config config;
    if (auto exitCode = Config::parse(argc, argv, config))
        return *exitCode;

    // SIGINT and SIGTERM are taken by one thread that stops the server, so in-flight
    // requests finish and the process exits cleanly. Blocked here, before any other
    // thread exists, so every thread inherits the mask.
    // A shell starts background jobs with SIGINT ignored; restore the defaults so the
    // signals reach sigwait below.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        if (config.jwtSecret.empty())
            std::cerr
                << "greetwell-backend: no --jwt-secret-file or GREETWELL_JWT_SECRET given; using a "
                   "random secret, so sessions end when the server stops\n";
        Backend backend(config);
        Website website(backend);
        const int port = backend.bind();

        if (config.demo) {
            const DemoAccount demo = seedDemo(backend.db());
            std::cout << "demo account: " << demo.email << " (password: " << demo.password << ")\n";
        }

        std::thread signalWaiter([&backend, signals] {
            int received = 0;
            sigwait(&signals, &received);
            backend.stop();
        });
        signalWaiter.detach();

        std::cout << "outbox: " << backend.outbox().folder().string() << "\n";
        std::cout << "greetwell-backend ready on http://" << config.host << ":" << port
                  << std::endl;
        backend.run();
        std::cout << "greetwell-backend stopped" << std::endl;
        return 0;
    } catch (const std::exception &e) {
        std::cerr << "greetwell-backend: " << e.what() << std::endl;
        return 1;
    }
}
