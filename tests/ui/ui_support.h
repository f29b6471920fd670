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

// Answers questions from a script instead of showing them; a question beyond the script is a
// test failure answered with Cancel (or No).
class QuestionScript {
public:
    QuestionScript() {
        SetQuestionHook([this](const std::string& text, Question kind) {
            asked.push_back(text);
            if (answers.empty()) {
                unexpected = true;
                return kind == Question::YesNo ? Answer::No : Answer::Cancel;
            }
            Answer a = answers.front();
            answers.erase(answers.begin());
            return a;
        });
    }
    ~QuestionScript() { SetQuestionHook({}); }
    std::vector<Answer> answers;
    std::vector<std::string> asked;
    bool unexpected = false;
};

// Saves a screenshot of a widget under BUILD/screenshots for review.
inline void SaveScreenshot(QWidget* w, const std::string& name) {
    QDir dir(QCoreApplication::applicationDirPath() + "/../screenshots");
    dir.mkpath(".");
    w->grab().save(dir.filePath(QString::fromStdString(name) + ".png"));
}

}  // namespace ui_support
