// Helpers of the widget tests.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QWidget>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/window_utils.h"

namespace ui_support {

// Records message boxes instead of showing them.
class MessageRecorder {
public:
    MessageRecorder() {
        SetMessageBoxHook([this](const std::string& text, MessageIcon icon) {
            messages.push_back({text, icon});
        });
    }
    ~MessageRecorder() { SetMessageBoxHook({}); }
    struct Message {
        std::string text;
        MessageIcon icon;
    };
    std::vector<Message> messages;
};

// Saves a screenshot of a widget under BUILD/screenshots for review.
inline void SaveScreenshot(QWidget* w, const std::string& name) {
    QDir dir(QCoreApplication::applicationDirPath() + "/../screenshots");
    dir.mkpath(".");
    w->grab().save(dir.filePath(QString::fromStdString(name) + ".png"));
}

}  // namespace ui_support
