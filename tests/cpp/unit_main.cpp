// The runner's entry point; see unit.h.

#include <algorithm>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "unit.h"

namespace {

int list_groups() {
    std::vector<std::string> groups;
    for (const auto& c : unit::cases()) {
        if (std::find(groups.begin(), groups.end(), c.group) == groups.end()) groups.push_back(c.group);
    }
    std::sort(groups.begin(), groups.end());
    for (const auto& group : groups) std::cout << group << "\n";
    return 0;
}

int run_group(const std::string& group) {
    int run = 0;
    for (const auto& c : unit::cases()) {
        if (c.group != group) continue;
        ++run;
        unit::state().current = c.group + "/" + c.name;
        try {
            c.run();
        } catch (const std::exception& e) {
            unit::fail(__FILE__, __LINE__, std::string("threw ") + e.what());
        } catch (...) {
            unit::fail(__FILE__, __LINE__, "threw something that is not a std::exception");
        }
        unit::state().row.clear();
    }
    if (run == 0) {
        std::cout << "no case in group " << group << "\n";
        return 2;
    }
    const unit::State& s = unit::state();
    std::cout << group << ": " << run << " cases, " << s.checks << " checks, " << s.failures << " failed\n";
    return s.failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--groups") return list_groups();
    if (argc != 2) {
        std::cerr << "usage: unit_tests GROUP | --groups\n";
        return 2;
    }
    return run_group(argv[1]);
}
