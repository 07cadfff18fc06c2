// Drives the console logger from the command line, for tests/test_logger.py.
//
//   log_probe lines LEVEL MESSAGE [LEVEL MESSAGE ...]
//       logs each message at its level, in order, from the main thread
//   log_probe threads N M
//       starts N threads at once; thread t logs M lines
//       "thread <t> line <j> <filler>" at level j % 4, where the filler is
//       40 + 7 * t copies of the letter 'a' + t, so that a torn or mixed line
//       shows in its text

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

namespace {

int usage() {
    std::cerr << "usage: log_probe lines LEVEL MESSAGE [LEVEL MESSAGE ...]\n"
                 "       log_probe threads N M\n";
    return 2;
}

int log_lines(int argc, char** argv) {
    if (argc < 4 || argc % 2 != 0) return usage();
    for (int i = 2; i + 1 < argc; i += 2) {
        corvane::log_message(std::atoi(argv[i]), argv[i + 1]);
    }
    return 0;
}

int log_from_threads(int count, int lines) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    threads.reserve(count);
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([t, lines, &go] {
            const std::string filler(40 + 7 * t, static_cast<char>('a' + t % 26));
            while (!go.load()) std::this_thread::yield();
            for (int j = 0; j < lines; ++j) {
                corvane::log_message(j % 4, "thread " + std::to_string(t) + " line " +
                                                std::to_string(j) + " " + filler);
            }
        });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "lines") return log_lines(argc, argv);
    if (mode == "threads" && argc == 4) return log_from_threads(std::atoi(argv[2]), std::atoi(argv[3]));
    return usage();
}
