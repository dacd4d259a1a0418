#pragma once
// Collects the exceptions that reach the log while it lives.
#include "runtime/LogManager.h"

#include <algorithm>
#include <utility>
#include <vector>

class LogCapture : public LogListener {
public:
    LogCapture() { LogManager::instance().settings().listeners.push_back(this); }
    ~LogCapture() override
    {
        auto& listeners = LogManager::instance().settings().listeners;
        listeners.erase(std::remove(listeners.begin(), listeners.end(), this), listeners.end());
    }
    void onException(int level, const vexception& e) override { errors.push_back({level, e}); }
    void onMessage(int, const std::wstring&) override {}

    std::vector<std::pair<int, vexception>> errors;
};
