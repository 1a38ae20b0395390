#include "plan.hpp"

#include "kernel/kzr-415-device.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace kzr415::test {

namespace {

// The device setting of that name.
const kzr415_setting &setting(std::string_view name) {
    const auto *const end = std::end(kzr415_settings);
    const auto *found = std::find_if(std::begin(kzr415_settings), end,
                                     [&](const auto &s) { return name == s.name; });
    if (found == end) {
        throw std::runtime_error("no setting " + std::string(name));
    }
    return *found;
}

} // namespace

std::string Scenario::value(const std::string &what) const {
    const auto found = expect.find(what);
    return found == expect.end() || found->second.empty() ? "" : found->second.front();
}

std::string Scenario::text(const std::string &what) const {
    std::string text;
    const auto found = expect.find(what);
    for (const auto &line : found == expect.end() ? std::vector<std::string>{} : found->second) {
        text += line + "\n";
    }
    return text;
}

std::vector<std::string> Scenario::options() const {
    std::vector<std::string> options;
    for (const auto &word : settings) {
        const auto equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const std::string value = word.substr(equals + 1);
        if (name == "node") { // node=absent
            options.emplace_back("--no-node");
            continue;
        }
        options.push_back(std::string("--") + setting(name).option);
        if (*setting(name).argument != '\0') {
            options.push_back(value);
        }
    }
    return options;
}

Environment Scenario::environment() const {
    Environment variables;
    for (const auto &word : settings) {
        std::string name = word.substr(0, word.find('='));
        std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        variables.emplace_back(name == "NODE" ? "KZR415_SIM_NO_NODE" : "KZR415_SIM_" + name,
                               name == "NODE" ? "1" : word.substr(word.find('=') + 1));
    }
    return variables;
}

std::vector<std::string> scenario_names(const std::string &kind) {
    std::ifstream plan(KZR415_PLAN);
    std::vector<std::string> names;
    for (std::string line; std::getline(plan, line);) {
        std::istringstream words(line);
        std::string word;
        std::string name;
        if (words >> word >> name && word == kind) {
            names.push_back(name);
        }
    }
    return names;
}

Scenario scenario(const std::string &name) {
    std::ifstream plan(KZR415_PLAN);
    Scenario found;
    for (std::string line; std::getline(plan, line);) {
        std::istringstream words(line);
        std::string kind;
        std::string step;
        words >> kind >> step;
        if (step != name) {
            continue;
        }
        std::vector<std::string> rest;
        for (std::string word; words >> word;) {
            if (const auto bus = word.find("@BUS@"); bus != std::string::npos) {
                word.replace(bus, 5, "4"); // the node the emulated bus serves
            }
            rest.push_back(word);
        }
        if (kind != "expect") {
            const auto dash = std::find(rest.begin(), rest.end(), "--");
            found.kind = kind;
            found.settings.assign(rest.begin(), kind == "replay" ? rest.begin() : dash);
            found.command.assign(kind == "replay" ? rest.begin() : dash + (dash != rest.end()),
                                 rest.end());
            if (kind == "replay") { // a capture named from the plan's folder
                const std::string path = KZR415_PLAN;
                found.command.at(0) = path.substr(0, path.rfind('/') + 1) + found.command.at(0);
            }
        } else if (!rest.empty()) {
            // The text after WHAT, as written (blanks within it kept).
            const auto at = line.find(rest[0], line.find(name) + name.size()) + rest[0].size();
            found.expect[rest[0]].push_back(at < line.size() ? line.substr(at + 1) : "");
        }
    }
    if (found.kind.empty()) {
        throw std::runtime_error("no scenario " + name + " in the plan " KZR415_PLAN);
    }
    return found;
}

} // namespace kzr415::test
