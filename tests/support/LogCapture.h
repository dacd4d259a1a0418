#pragma once
// Collects what reaches the log while it lives: exceptions and plain lines, with their level.
#include "runtime/LogManager.h"

#include <algorithm>
#include <string>
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
    void onMessage(int level, const std::wstring& text) override { messages.push_back({level, text}); }

    std::vector<std::pair<int, vexception>> errors;
    std::vector<std::pair<int, std::wstring>> messages;
};
