// What every window of the Configurator shares: the UI font, the language texts of a dialog,
// the product caption, dialog-unit sizes and the message boxes.
#pragma once

#include <QFont>
#include <QIcon>
#include <QString>
#include <functional>
#include <initializer_list>
#include <string>

class QWidget;

inline QString ToQ(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string FromQ(const QString& s) {
    return s.toUtf8().toStdString();
}

// The desktop's general font where the platform gives one, else a 9-point face by locale.
QFont GetUIFont();
// Gives the dialog and all its children the UI font; every dialog calls it before its texts.
void ApplyUIFont(QWidget* dialog);

// Marks a child with the control id under which the language file names its text.
void SetControlId(QWidget* control, int id);
int ControlId(const QWidget* control);
// The caption (text 0) and every child's text from the gui section of the dialog; controls
// without a text in the file keep the text they were built with.
void ApplyDialogTexts(int dialogId, QWidget* dialog);

// "Configuration files (*.cfg)|*.cfg|All files (*)|*|" from the language file as a file dialog's
// filter: "Configuration files (*.cfg);;All files (*)".
QString FileDialogFilter(const std::string& parts);

// Where the file dialogs start: the folder a file was last chosen in (kept in the settings as
// "LastFolder") while it still exists, else the home folder.
QString FileDialogFolder();
// Keeps the folder of a file the user just chose for the next file dialog.
void RememberFileDialogFolder(const std::string& chosenPath);
// A name for a file dialog to suggest, from parts such as the model and the serial number
// joined by "_": characters a file name should not hold become "_"; empty parts are left out.
QString SuggestedFileName(std::initializer_list<std::string> parts, const std::string& suffix);

// "NORVELCO Version 1.0.0" from the build.
std::string GetProductCaption();

// The program's icon, drawn from the same picture as the desktop menu entry's; null only when
// the picture cannot be read.
QIcon GetProductIcon();
// Makes the icon the application's, so that every window, dialog and message box shows it.
void InstallProductIcon();

// Sizes in dialog units of the dialog's font: a quarter of the average character width, an
// eighth of the character height.
int DluX(const QFont& font, int units);
int DluY(const QFont& font, int units);
// Places a control at a rectangle given in dialog units of its dialog's font.
void PlaceInDialogUnits(QWidget* control, int x, int y, int cx, int cy);

enum class MessageIcon { Error, Warning, Information };

// A question before something that cannot be undone. Tests install a hook that answers.
enum class Question { SaveDiscardCancel, YesNo };
enum class Answer { Save, Discard, Cancel, Yes, No };
Answer Ask(QWidget* parent, const std::string& text, Question kind);
using QuestionHook = std::function<Answer(const std::string& text, Question kind)>;
void SetQuestionHook(QuestionHook hook);

// A modal message box; tests install a hook that records the text instead of blocking.
void ShowMessage(QWidget* parent, const std::string& text, MessageIcon icon);
using MessageBoxHook = std::function<void(const std::string& text, MessageIcon icon)>;
void SetMessageBoxHook(MessageBoxHook hook);
// Routes the model rules' notices (the transmit-power limit) to a message box on the UI thread,
// wherever the rule runs: a model read on the worker must never create a window there.
void InstallUserNoticeOnUiThread();

// An error's text as a message box shows it: at most 511 bytes.
void ShowError(QWidget* parent, const std::string& message, MessageIcon icon = MessageIcon::Error);
