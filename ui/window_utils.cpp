#include "ui/window_utils.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStringList>
#include <QSvgRenderer>
#include <QWidget>
#include <span>

#include "app/private_exception.h"
#include "app/resource_database.h"
#include "app/settings.h"
#include "model/dev_interface.h"

namespace {

const char* kControlId = "norvelcoControlId";

MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

QuestionHook& Questions() {
    static QuestionHook hook;
    return hook;
}

}  // namespace

// Asked anew each time, so that windows rebuilt after a desktop font change take the new font.
QFont GetUIFont() {
    const QString platform = QGuiApplication::platformName();
    // Headless platforms report no desktop font; real desktops do through their theme.
    if (platform != "offscreen" && platform != "minimal")
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const bool japanese = QLocale().language() == QLocale::Japanese;
    QFont f(japanese ? "Noto Sans CJK JP" : "DejaVu Sans");
    f.setPointSize(9);
    return f;
}

void ApplyUIFont(QWidget* dialog) {
    if (dialog) dialog->setFont(GetUIFont());
}

void SetControlId(QWidget* control, int id) {
    control->setProperty(kControlId, id);
}

int ControlId(const QWidget* control) {
    QVariant v = control->property(kControlId);
    return v.isValid() ? v.toInt() : -1;
}

void ApplyDialogTexts(int dialogId, QWidget* dialog) {
    std::string caption = g_resources.GetGuiText(dialogId, 0);
    if (!caption.empty()) dialog->setWindowTitle(ToQ(caption));
    for (QWidget* child : dialog->findChildren<QWidget*>()) {
        int id = ControlId(child);
        if (id <= 0) continue;
        std::string text = g_resources.GetGuiText(dialogId, id);
        if (text.empty()) continue;
        if (auto* button = qobject_cast<QAbstractButton*>(child))
            button->setText(ToQ(text));
        else if (auto* label = qobject_cast<QLabel*>(child))
            label->setText(ToQ(text));
        else if (auto* group = qobject_cast<QGroupBox*>(child))
            group->setTitle(ToQ(text));
    }
}

QIcon GetProductIcon() {
    QSvgRenderer picture(QStringLiteral(":/norvelco/norvelco.svg"));
    QIcon icon;
    if (!picture.isValid()) return icon;
    // Drawn once per common size, so that the icon needs no image plugin at run time.
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        picture.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void InstallProductIcon() {
    QGuiApplication::setWindowIcon(GetProductIcon());
}

QString FileDialogFolder() {
    const QString folder = ToQ(LoadPreferenceText("LastFolder", ""));
    // A folder on a stick that is no longer plugged in must not leave the dialog nowhere.
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) return folder;
    return QDir::homePath();
}

void RememberFileDialogFolder(const std::string& chosenPath) {
    if (chosenPath.empty()) return;
    const QString folder = QFileInfo(ToQ(chosenPath)).absolutePath();
    if (QFileInfo(folder).isDir()) SavePreferenceText("LastFolder", FromQ(folder));
}

QString SuggestedFileName(std::initializer_list<std::string> parts, const std::string& suffix) {
    QString name;
    for (const std::string& part : parts) {
        const QString text = ToQ(part).trimmed();
        if (text.isEmpty()) continue;
        if (!name.isEmpty()) name += '_';
        name += text;
    }
    // Serial numbers and model texts come from devices: no path separators, no control or
    // shell-awkward characters, no leading dot that would hide the file.
    for (QChar& c : name)
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|' || c.isSpace() || !c.isPrint())
            c = '_';
    while (name.startsWith('.')) name.remove(0, 1);
    if (name.isEmpty()) return {};
    return suffix.empty() ? name : name + '.' + ToQ(suffix);
}

std::string GetProductCaption() {
    std::string name = NORVELCO_PRODUCT_NAME, version = NORVELCO_VERSION;
    if (name.empty() || version.empty()) return {};
    return name + " Version " + version;
}

int DluX(const QFont& font, int units) {
    QFontMetrics fm(font);
    // The average width of the Latin alphabet, as dialog units are defined.
    const int avg =
        fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52;
    return (units * std::max(avg, 1) + 2) / 4;
}

int DluY(const QFont& font, int units) {
    QFontMetrics fm(font);
    return (units * fm.height() + 4) / 8;
}

void PlaceInDialogUnits(QWidget* control, int x, int y, int cx, int cy) {
    const QFont f = control->parentWidget() ? control->parentWidget()->font() : control->font();
    control->setGeometry(DluX(f, x), DluY(f, y), DluX(f, cx), DluY(f, cy));
}

void ShowMessage(QWidget* parent, const std::string& text, MessageIcon icon) {
    if (Hook()) {
        Hook()(text, icon);
        return;
    }
    QMessageBox box(icon == MessageIcon::Error     ? QMessageBox::Critical
                    : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                   : QMessageBox::Information,
                    QString(NORVELCO_PRODUCT_NAME), ToQ(text), QMessageBox::Ok, parent);
    ApplyUIFont(&box);
    box.exec();
}

Answer Ask(QWidget* parent, const std::string& text, Question kind) {
    if (Questions()) return Questions()(text, kind);
    QMessageBox box(QMessageBox::Question, QString(NORVELCO_PRODUCT_NAME), ToQ(text),
                    QMessageBox::NoButton, parent);
    ApplyUIFont(&box);
    struct Choice {
        QMessageBox::StandardButton button;
        const char* key;
        Answer answer;
    };
    static const Choice kSave[] = {{QMessageBox::Save, "ask.save", Answer::Save},
                                   {QMessageBox::Discard, "ask.discard", Answer::Discard},
                                   {QMessageBox::Cancel, "ask.cancel", Answer::Cancel}};
    static const Choice kYesNo[] = {{QMessageBox::Yes, "ask.yes", Answer::Yes},
                                    {QMessageBox::No, "ask.no", Answer::No}};
    const std::span<const Choice> choices =
        kind == Question::YesNo ? std::span<const Choice>(kYesNo) : std::span<const Choice>(kSave);
    for (const Choice& c : choices) {
        QAbstractButton* b = box.addButton(c.button);
        const std::string caption = g_resources.GetMessageText(c.key);
        if (!b || caption.empty()) continue;
        b->setText(ToQ(caption));
    }
    // Closing the box, Escape, is the harmless answer.
    box.setDefaultButton(kind == Question::YesNo ? QMessageBox::No : QMessageBox::Save);
    box.setEscapeButton(kind == Question::YesNo ? QMessageBox::No : QMessageBox::Cancel);
    const auto clicked = static_cast<QMessageBox::StandardButton>(box.exec());
    for (const Choice& c : choices)
        if (c.button == clicked) return c.answer;
    return kind == Question::YesNo ? Answer::No : Answer::Cancel;
}

void SetQuestionHook(QuestionHook hook) {
    Questions() = std::move(hook);
}

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

void ShowError(QWidget* parent, const std::string& message, MessageIcon icon) {
    ShowMessage(parent, TruncateUtf8(message, 511), icon);
}

void InstallUserNoticeOnUiThread() {
    SetUserNoticeHook([](const std::string& text) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app, [text] { ShowMessage(nullptr, text, MessageIcon::Warning); },
            Qt::QueuedConnection);
    });
}

QString FileDialogFilter(const std::string& parts) {
    const QStringList items = ToQ(parts).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < items.size(); i += 2) {
        if (items[i].isEmpty()) continue;
        filters << (items[i].contains('(') ? items[i] : items[i] + " (" + items[i + 1] + ")");
    }
    return filters.join(";;");
}
