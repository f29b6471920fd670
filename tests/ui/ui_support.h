// Helpers of the widget tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QTest>
#include <QWidget>
#include <set>
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

// A key press as the keyboard delivers it: to the widget with the focus, else to the window.
template <typename Key>
void PressKey(QWidget* window, Key key) {
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : window, key);
}

// The size of a dialog drawn in dialog units of its font.
inline QSize DialogSize(const QWidget* w, int cx, int cy) {
    return QSize(DluX(w->font(), cx), DluY(w->font(), cy));
}

// Saves a screenshot of a shown widget under BUILD/screenshots for review, after checking that it
// has the size it is meant to have (by default the size it has) and that its picture holds more
// than a blank background.
inline void SaveScreenshot(QWidget* w, const std::string& name, QSize expected = {}) {
    if (!expected.isValid()) expected = w->size();
    EXPECT_TRUE(w->isVisible()) << name;
    EXPECT_EQ(w->size(), expected) << name;
    const QImage image = w->grab().toImage();
    EXPECT_EQ(image.size(), expected) << name;
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
    EXPECT_GT(colours.size(), 8u) << name << ": nothing painted";
    QDir dir(QCoreApplication::applicationDirPath() + "/../screenshots");
    dir.mkpath(".");
    image.save(dir.filePath(QString::fromStdString(name) + ".png"));
}

}  // namespace ui_support
