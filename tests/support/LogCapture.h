#pragma once
// Collects what reaches the log while it lives: exceptions and plain lines, with their level.
#include "runtime/LogManager.h"

#include <string>
#include <utility>
#include <vector>

class LogCapture : public LogListener {
public:
    LogCapture() { LogManager::instance().addListener(this); }
    ~LogCapture() override { LogManager::instance().removeListener(this); }
    void onException(int level, const vexception& e) override { errors.push_back({level, e}); }
    void onMessage(int level, const std::wstring& text) override { messages.push_back({level, text}); }

    std::vector<std::pair<int, vexception>> errors;
    std::vector<std::pair<int, std::wstring>> messages;
};
