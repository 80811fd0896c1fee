#pragma once

// Environment variables set for one scope: each variable gets its previous value back (or is removed
// again) when the scope ends, so no test leaves its settings to the next.

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace halvex::test {

class ScopedEnvironment {
  public:
    explicit ScopedEnvironment(const std::map<std::string, std::string>& variables) {
        for (const auto& [name, value] : variables) {
            const char* previous = std::getenv(name.c_str());
            previous_.emplace(name,
                              previous == nullptr ? std::nullopt : std::optional<std::string>(previous));
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : previous_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::map<std::string, std::optional<std::string>> previous_;
};

}  // namespace halvex::test
