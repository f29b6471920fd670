#include "ui/parameter_list.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <functional>
#include <map>

#include "model/dev_types.h"
#include "ui/popup_window.h"
#include "ui_support.h"

namespace {

std::shared_ptr<CDevInterface> MakeModel(const char* code, int factory = DEV_SETTINGS) {
    return std::shared_ptr<CDevInterface>(CDevType().Create(CDevType::FindModel(code), 0, factory));
}

int ParameterRows(const CDevInterface& model) {
    int rows = 0;
    for (int i = 0; i < model.Count(); ++i) rows += model.At(i).Type() == PAR_GROUP ? 0 : 1;
    return rows;
}

class ParameterListTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::LoadEnglish();
        SetUserNoticeHook([this](const std::string& text) { notices.push_back(text); });
        auto* layout = new QVBoxLayout(&window);
        list = new CParameterListCtrl(&window);
        other = new QLineEdit(&window);
        layout->addWidget(list);
        layout->addWidget(other);
        ApplyUIFont(&window);
        window.resize(560, 720);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    void TearDown() override { SetUserNoticeHook({}); }

    void Load(const char* code, int factory = DEV_SETTINGS) {
        model = MakeModel(code, factory);
        ASSERT_TRUE(model);
        list->SetModel(model, true);
    }
    int Row(const char* key) const { return list->RowOfParameter(model->IndexOf(key)); }
    CParInterface& Par(const char* key) { return model->Find(key); }
    QString Cell(const char* key) const { return list->RowItem(Row(key))->text(1); }
    QString Shown(const char* key) {
        return ToQ(model->AdjustText(model->IndexOf(key), Par(key).GetDisplayText()));
    }
    void Select(const char* key) {
        list->SelectRow(Row(key));
        list->setFocus();
    }
    // Opens the editor of a row as the user does: select it and press Enter.
    void Open(const char* key) {
        Select(key);
        QTest::keyClick(list, Qt::Key_Return);
    }
    bool TextEditorOn(const char* key) const {
        return list->textEditor()->isVisible() && list->SelectedRow() == Row(key) &&
               list->textEditor()->geometry() == list->ValueRect(Row(key));
    }
    void Type(const QString& text) {
        list->textEditor()->selectAll();
        QTest::keyClicks(list->textEditor(), text);
    }

    QWidget window;
    CParameterListCtrl* list = nullptr;
    QLineEdit* other = nullptr;
    std::shared_ptr<CDevInterface> model;
    ui_support::MessageRecorder recorder;
    std::vector<std::string> notices;
};

TEST_F(ParameterListTest, RowsFollowTheModelWithGroupsAsHeadings) {
    Load("RB16T5-SQ7_2");
    EXPECT_EQ(list->RowCount(), ParameterRows(*model));
    EXPECT_EQ(list->topLevelItemCount(), model->Count() - ParameterRows(*model));
    EXPECT_EQ(list->RowItem(Row("zinp"))->parent()->text(0), ToQ(model->At(0).GetLabel()));
    EXPECT_EQ(list->RowItem(Row("zinp"))->text(0), ToQ(Par("zinp").GetLabel()));
    EXPECT_EQ(Cell("nadrs"), Shown("nadrs"));
    const int width = list->viewport()->width();
    EXPECT_EQ(list->columnWidth(0), static_cast<int>(width * 0.49));
    EXPECT_EQ(list->columnWidth(0) + list->columnWidth(1), width);
}

TEST_F(ParameterListTest, RefreshWritesOnlyChangedTextsAndDropsSurplusRows) {
    Load("RB16T5-SQ7_2");
    list->RowItem(Row("nadrs"))->setText(1, "marker");
    list->Refresh();
    EXPECT_EQ(Cell("nadrs"), "marker") << "an unchanged value is not written again";

    Par("nadrs").SetNumber(42);
    list->Refresh();
    EXPECT_EQ(Cell("nadrs"), Shown("nadrs"));

    list->RowItem(Row("nadrs"))->setText(1, "marker");
    list->SetForceText();
    list->Refresh();
    EXPECT_EQ(Cell("nadrs"), Shown("nadrs")) << "a forced refresh rewrites every text";

    auto smaller = MakeModel("RB16KT5QC");
    list->SetModel(smaller, false);
    model = smaller;
    EXPECT_EQ(list->RowCount(), ParameterRows(*smaller));
    EXPECT_EQ(list->topLevelItemCount(), smaller->Count() - ParameterRows(*smaller));
    for (int row = 0; row < list->RowCount(); ++row) {
        const int i = list->ParameterOfRow(row);
        EXPECT_EQ(list->RowItem(row)->text(1),
                  ToQ(smaller->AdjustText(i, smaller->At(i).GetDisplayText())));
    }
}

TEST_F(ParameterListTest, TypingADigitStartsAnEditAndEnterCommitsIt) {
    Load("RB16T5-SQ7_2");
    QSignalSpy changed(list, &CParameterListCtrl::Changed);
    Select("nadrs");
    QTest::keyClick(list, '5');
    ASSERT_TRUE(TextEditorOn("nadrs"));
    EXPECT_EQ(list->textEditor()->text(), "5");
    EXPECT_EQ(list->textEditor()->Popup(), nullptr) << "numbers have no byte counter";

    QTest::keyClicks(list->textEditor(), "7");
    QTest::keyClick(list->textEditor(), Qt::Key_Return);
    EXPECT_EQ(Par("nadrs").Value().Word(0), 57);
    EXPECT_EQ(Cell("nadrs"), Shown("nadrs"));
    EXPECT_FALSE(list->IsEditing());
    EXPECT_TRUE(list->hasFocus());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(ParameterListTest, RejectedTextIsReportedAndStaysSelectedInTheEditor) {
    Load("RB16T5-SQ7_2");
    QSignalSpy changed(list, &CParameterListCtrl::Changed);
    Open("nadrs");
    Type("300");
    QTest::keyClick(list->textEditor(), Qt::Key_Return);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(recorder.messages[0].text.empty());
    EXPECT_EQ(Par("nadrs").Value().Word(0), 1);
    EXPECT_TRUE(TextEditorOn("nadrs"));
    EXPECT_EQ(list->textEditor()->selectedText(), "300");
    EXPECT_EQ(changed.count(), 0);
}

TEST_F(ParameterListTest, UpAndDownCommitAndMoveTheEditorClamped) {
    struct Case {
        const char* from;
        Qt::Key key;
        const char* to;
        const char* typed;
        uint16_t stored;
    };
    const Case cases[] = {{"finp", Qt::Key_Down, "zadj", "15", 15000},
                          {"finp", Qt::Key_Up, "zinp", "15", 15000},
                          {"nadrs", Qt::Key_Down, "nadrs", "9", 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
        Load("RB16T5-SQ7_2");
        Open(c.from);
        Type(c.typed);
        QTest::keyClick(list->textEditor(), c.key);
        EXPECT_EQ(Par(c.from).Value().Word(0), c.stored) << "the value is committed before moving";
        EXPECT_TRUE(TextEditorOn(c.to));
        EXPECT_EQ(list->textEditor()->text(), ToQ(Par(c.to).GetText()));
        EXPECT_EQ(list->textEditor()->selectedText(), list->textEditor()->text());
    }
}

TEST_F(ParameterListTest, LeftAndRightCommitOnlyAtTheEdgesOfTheText) {
    Load("RB16T5-SQ7_2");
    QSignalSpy changed(list, &CParameterListCtrl::Changed);
    Open("nadrs");
    Type("12");
    list->textEditor()->selectAll();
    QTest::keyClick(list->textEditor(), Qt::Key_Left);
    EXPECT_EQ(changed.count(), 0) << "with the text selected Left only moves the caret";
    EXPECT_EQ(list->textEditor()->cursorPosition(), 0);
    QTest::keyClick(list->textEditor(), Qt::Key_Left);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(Par("nadrs").Value().Word(0), 12);
    EXPECT_TRUE(TextEditorOn("nadrs")) << "the editor reopens on the same row";

    Type("34");
    list->textEditor()->setCursorPosition(1);
    QTest::keyClick(list->textEditor(), Qt::Key_Right);
    EXPECT_EQ(changed.count(), 1) << "inside the text Right moves the caret";
    QTest::keyClick(list->textEditor(), Qt::Key_Right);
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(Par("nadrs").Value().Word(0), 34);
    EXPECT_TRUE(TextEditorOn("nadrs"));
}

TEST_F(ParameterListTest, LockedReadOnlyAndDisabledOperationRowsDoNotOpen) {
    Load("RB16T5-SQ7_2");
    ASSERT_TRUE(model->IsLocked(model->IndexOf("detoadrs")));
    auto tryAll = [&](const char* key) {
        Select(key);
        QTest::keyClick(list, Qt::Key_Return);
        QTest::keyClick(list, '1');
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->ValueRect(Row(key)).center());
        return list->IsEditing();
    };
    EXPECT_TRUE(list->IsDim(model->IndexOf("detoadrs")));
    EXPECT_FALSE(tryAll("detoadrs"));

    list->SetLocked(true);
    EXPECT_TRUE(list->IsDim(model->IndexOf("nadrs")));
    EXPECT_FALSE(tryAll("nadrs"));
    list->SetLocked(false);

    Load("RB16T5-SQ7_2", DEV_MONITOR);
    EXPECT_FALSE(tryAll("rssi"));
    EXPECT_TRUE(list->IsDim(model->IndexOf("resetcmd")));
    EXPECT_FALSE(tryAll("resetcmd"));
}

// However an edit is abandoned, the keyboard goes on working in the list: Enter opens the row
// again. Hiding an editor that holds the focus would otherwise pass it on to the next control.
TEST_F(ParameterListTest, AbandonedEditsGiveTheFocusBackToTheList) {
    struct Case {
        const char* name;
        const char* key;
        std::function<void(CParameterListCtrl*)> abandon;
    };
    const Case cases[] = {
        {"Escape in the text editor", "nadrs",
         [](CParameterListCtrl* l) { QTest::keyClick(l->textEditor(), Qt::Key_Escape); }},
        {"the wheel over the list", "nadrs",
         [](CParameterListCtrl* l) {
             const QPointF at = l->viewport()->rect().center();
             QWheelEvent wheel(at, l->viewport()->mapToGlobal(at), {}, QPoint(0, -120),
                               Qt::NoButton, {}, Qt::NoScrollPhase, false);
             QCoreApplication::sendEvent(l->viewport(), &wheel);
         }},
        {"Escape in the drop-down list", "fixroute",
         [](CParameterListCtrl* l) { QTest::keyClick(l->comboEditor()->view(), Qt::Key_Escape); }},
        {"Escape in the channel editor", "ch",
         [](CParameterListCtrl* l) { ui_support::PressKey(l->window(), Qt::Key_Escape); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.key == std::string("ch") ? "RB16KT5_2" : "RB16T5-SQ7_2");
        QSignalSpy changed(list, &CParameterListCtrl::Changed);
        Open(c.key);
        ASSERT_TRUE(list->IsEditing());
        c.abandon(list);
        QCoreApplication::processEvents();
        // A closed drop-down leaves no window active on this platform; a desktop reactivates.
        QApplication::setActiveWindow(&window);
        EXPECT_FALSE(list->IsEditing());
        EXPECT_TRUE(list->hasFocus());
        EXPECT_EQ(changed.count(), 0);
        ui_support::PressKey(&window, Qt::Key_Return);
        EXPECT_TRUE(list->IsEditing()) << "Enter opens the row again";
        list->HideEditors();
        EXPECT_TRUE(list->hasFocus());
    }
}

TEST_F(ParameterListTest, AControlTheUserMovesToKeepsTheFocus) {
    Load("RB16T5-SQ7_2");
    Open("nadrs");
    Type("12");
    QTest::mouseClick(other, Qt::LeftButton);
    EXPECT_FALSE(list->IsEditing());
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(Par("nadrs").Value().Word(0), 1) << "the edit is abandoned";
}

// A group heading takes no row: every key that moves the current row lands on a row.
TEST_F(ParameterListTest, MovingKeysSkipGroupHeadings) {
    struct Case {
        const char* from;
        Qt::Key key;
        const char* keyName;
        const char* to;  // null: the last row
    };
    const Case cases[] = {
        {"stop", Qt::Key_Down, "Down", "panid"},      {"panid", Qt::Key_Up, "Up", "stop"},
        {"rate", Qt::Key_Up, "Up", "rate"},           {"parity", Qt::Key_Home, "Home", "rate"},
        {"panid", Qt::Key_PageUp, "Page Up", "rate"}, {"stop", Qt::Key_End, "End", nullptr},
        {"panid", Qt::Key_Left, "Left", "panid"}};
    Load("RB16KT5_2");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.from) + " " + c.keyName);
        Select(c.from);
        QTest::keyClick(list, c.key);
        const int expected = c.to ? Row(c.to) : list->RowCount() - 1;
        EXPECT_EQ(list->SelectedRow(), expected);
        EXPECT_EQ(list->currentItem(), list->RowItem(expected));
    }
    Select("rate");
    QTest::keyClick(list, Qt::Key_PageDown);
    EXPECT_GT(list->SelectedRow(), Row("rate"));
    EXPECT_EQ(list->currentItem(), list->RowItem(list->SelectedRow()));

    Select("stop");
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(TextEditorOn("panid")) << "Enter after moving edits the row reached";
    list->HideEditors();

    Select("stop");
    const QTreeWidgetItem* heading = list->RowItem(Row("panid"))->parent();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(heading).center());
    EXPECT_EQ(list->currentItem(), list->RowItem(Row("stop"))) << "a click on a heading";
    EXPECT_TRUE(list->hasFocus());
}

TEST_F(ParameterListTest, ClickOnTheValueOpensAndScrollingAbandons) {
    Load("RB16T5-SQ7_2");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->RowItem(Row("zinp"))).topLeft() + QPoint(4, 4));
    EXPECT_FALSE(list->IsEditing()) << "the label does not open an editor";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->ValueRect(Row("zinp")).center());
    ASSERT_TRUE(TextEditorOn("zinp"));

    Type("5");
    list->verticalScrollBar()->setValue(list->verticalScrollBar()->maximum());
    EXPECT_FALSE(list->IsEditing());
    EXPECT_EQ(Par("zinp").Value().Word(0), 4000) << "scrolling abandons the edit";
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(ParameterListTest, ChoosingAListEntryCommitsAtOnceAndEscapeAbandons) {
    Load("RB16T5-SQ7_2");
    QSignalSpy changed(list, &CParameterListCtrl::Changed);
    Open("fixroute");
    CEditComboBox* combo = list->comboEditor();
    ASSERT_TRUE(combo->isVisible());
    ASSERT_TRUE(combo->view()->isVisible());
    EXPECT_EQ(combo->currentText(), ToQ(Par("fixroute").GetText()));

    QTest::keyClick(combo->view(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_FALSE(combo->isVisible());
    EXPECT_EQ(changed.count(), 0);

    Open("fixroute");
    QTest::keyClick(combo->view(), Qt::Key_Down);
    QTest::keyClick(combo->view(), Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_FALSE(combo->isVisible());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(Par("fixroute").Value().Word(0), 1);
    EXPECT_EQ(Cell("fixroute"), Shown("fixroute"));
    EXPECT_FALSE(list->IsDim(model->IndexOf("detoadrs"))) << "the model's rule has run";
}

TEST_F(ParameterListTest, ValuesChangedByTheModelsRulesAreShown) {
    Load("RB16T5-SQ7_2");
    const QString before = Cell("netscale");
    Open("slowmoving");
    QTest::keyClick(list->comboEditor()->view(), Qt::Key_Down);
    QTest::keyClick(list->comboEditor()->view(), Qt::Key_Return);
    EXPECT_EQ(Par("slowmoving").Value().Word(0), 2);
    EXPECT_EQ(Par("netscale").Value().Word(0), 3);
    EXPECT_NE(Cell("netscale"), before);
    EXPECT_EQ(Cell("netscale"), Shown("netscale"));
    EXPECT_TRUE(list->IsDim(model->IndexOf("netscale")));
}

TEST_F(ParameterListTest, ListWithoutTheCurrentValuePreselectsTheFirstEntry) {
    Load("RB16T5-SQ7_2");
    Par("fixroute").Value().SetWord(0, 77);
    Open("fixroute");
    ASSERT_TRUE(list->comboEditor()->isVisible());
    EXPECT_EQ(list->comboEditor()->currentIndex(), 0);
    EXPECT_EQ(list->comboEditor()->count(), 2);
}

TEST_F(ParameterListTest, OperationsQueueOnlyWhenEnabled) {
    Load("RB16T5-SQ7_2", DEV_MONITOR);
    list->SetOperationsEnabled(true);
    EXPECT_FALSE(list->IsDim(model->IndexOf("resetcmd")));
    for (int round = 0; round < 2; ++round) {
        Open("resetcmd");
        ASSERT_TRUE(list->comboEditor()->isVisible());
        QTest::keyClick(list->comboEditor()->view(), Qt::Key_Down);
        QTest::keyClick(list->comboEditor()->view(), Qt::Key_Return);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(list->HasPendingOperations());
    const CParValue first = list->PopOperation();
    EXPECT_EQ(first.Address(), Par("resetcmd").Value().Address());
    EXPECT_EQ(first.Count(), Par("resetcmd").Value().Count());
    ASSERT_TRUE(list->HasPendingOperations()) << "each committed value is queued";
    list->PopOperation();
    EXPECT_FALSE(list->HasPendingOperations());
    EXPECT_EQ(list->PopOperation().Count(), 0) << "an empty queue gives an empty value";
}

TEST_F(ParameterListTest, ChannelEditorShowsTheRangeAndDeliversAscendingChannels) {
    Load("RB16KT5QC");
    CParValue& value = Par("ch").Value();
    for (size_t i = 0; i < value.Count(); ++i) value.SetWord(i, 0);
    value.SetWord(0, 1);  // outside the range 2..7
    value.SetWord(1, 5);
    Open("ch");
    CEditChannel* editor = list->channelEditor();
    ASSERT_TRUE(editor->isVisible());
    for (int n = 1; n <= CEditChannel::kChannels; ++n)
        EXPECT_EQ(editor->Box(n)->isVisible(), n >= 2 && n <= 7) << n;
    EXPECT_TRUE(editor->Box(5)->isChecked());
    EXPECT_FALSE(editor->Box(1)->isChecked());
    EXPECT_TRUE(list->viewport()->rect().contains(editor->geometry()))
        << "the editor is shown whole";

    QTest::mouseClick(editor->Box(7), Qt::LeftButton);
    QTest::mouseClick(editor->Box(2), Qt::LeftButton);
    QTest::mouseClick(editor->OkButton(), Qt::LeftButton);
    EXPECT_FALSE(editor->isVisible());
    const std::vector<uint16_t> expected = {2, 5, 7, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint16_t>(value.Words().begin(), value.Words().end()), expected);
    EXPECT_EQ(Cell("ch"), Shown("ch"));
}

TEST_F(ParameterListTest, ChannelEditorLimitsTheChoiceToTen) {
    Load("RB16KT5_2");
    for (size_t i = 0; i < Par("ch").Value().Count(); ++i) Par("ch").Value().SetWord(i, 0);
    Open("ch");
    CEditChannel* editor = list->channelEditor();
    for (int n = 1; n <= 10; ++n) QTest::mouseClick(editor->Box(n * 4), Qt::LeftButton);
    EXPECT_TRUE(editor->Box(40)->isEnabled());
    EXPECT_FALSE(editor->Box(1)->isEnabled());
    EXPECT_FALSE(editor->Box(43)->isEnabled());
    QTest::mouseClick(editor->Box(8), Qt::LeftButton);
    EXPECT_TRUE(editor->Box(1)->isEnabled());
}

TEST_F(ParameterListTest, ChannelEditorAbandonsOnEscapeAndHidesWhenTheFocusLeaves) {
    Load("RB16KT5_2");
    const std::vector<uint16_t> before(Par("ch").Value().Words().begin(),
                                       Par("ch").Value().Words().end());
    QSignalSpy changed(list, &CParameterListCtrl::Changed);
    Open("ch");
    QTest::mouseClick(list->channelEditor()->Box(20), Qt::LeftButton);
    QTest::keyClick(list->channelEditor()->Box(20), Qt::Key_Escape);
    EXPECT_FALSE(list->channelEditor()->isVisible());

    Open("ch");
    QTest::mouseClick(list->channelEditor()->Box(21), Qt::LeftButton);
    other->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !list->channelEditor()->isVisible(); }, 1000));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(
        std::vector<uint16_t>(Par("ch").Value().Words().begin(), Par("ch").Value().Words().end()),
        before);
}

TEST_F(ParameterListTest, ByteCounterCountsUtf8Bytes) {
    Load("RB16T5-SQ7_2");
    Open("netname");
    CEditText* editor = list->textEditor();
    ASSERT_TRUE(editor->isVisible());
    Type("ab");
    ASSERT_NE(editor->Popup(), nullptr);
    const int limit = static_cast<int>(Par("netname").Definition().maximum);
    const auto shown = [&](int n) { return QString("%1 / %2 bytes").arg(n).arg(limit); };
    EXPECT_EQ(editor->Popup()->Count(), 2);
    EXPECT_EQ(editor->Popup()->Text(), shown(2));
    editor->insert(QString::fromUtf8("日"));
    EXPECT_EQ(editor->Popup()->Count(), 5);
    EXPECT_EQ(editor->Popup()->size(),
              editor->Popup()->fontMetrics().size(Qt::TextSingleLine, shown(5)));
    EXPECT_EQ(editor->Popup()->x(), editor->x());
    QTest::keyClick(list, Qt::Key_Escape);
    EXPECT_FALSE(list->IsEditing());
    EXPECT_EQ(editor->Popup(), nullptr) << "the pop-up goes with the editor";
}

TEST_F(ParameterListTest, KeyCounterCountsTheBytesTheDigitsMake) {
    Load("RB16KT5_2");
    Open("enckey");
    ASSERT_TRUE(list->textEditor()->isVisible());
    list->textEditor()->selectAll();
    Type("0123456789ABCDEF0");
    ASSERT_NE(list->textEditor()->Popup(), nullptr);
    EXPECT_EQ(list->textEditor()->Popup()->Text(), "9 / 16 bytes");
    QTest::keyClick(list, Qt::Key_Escape);
}

// Hiding the list (or the window around it) makes Qt walk the viewport's children; the pop-up,
// one of them, must not be deleted under that walk.
TEST_F(ParameterListTest, ByteCounterPopupOutlivesAHideOfTheListAndGoesAfterIt) {
    Load("RB16T5-SQ7_2");
    Open("netname");
    Type("ab");
    QPointer<CPopupWindow> popup = list->textEditor()->Popup();
    ASSERT_NE(popup, nullptr);
    list->hide();
    ASSERT_NE(popup, nullptr) << "deleted inside the hide";
    EXPECT_FALSE(popup->isVisible());
    EXPECT_EQ(list->textEditor()->Popup(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(popup, nullptr);
    list->show();
}

// The window losing the focus (minimised, another program chosen) leaves the edit as it was.
TEST_F(ParameterListTest, WindowLosingTheFocusKeepsTheEdit) {
    Load("RB16T5-SQ7_2");
    Open("netname");
    Type("Plant-7");
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(list->textEditor(), &away);
    EXPECT_TRUE(TextEditorOn("netname"));
    EXPECT_EQ(list->textEditor()->text(), "Plant-7");
}

TEST(Shade, DarkensLightColoursAndLightensDarkOnes) {
    struct Case {
        QColor in;
        double fraction;
        QColor out;
    };
    const Case cases[] = {{QColor(255, 255, 255), 0.05, QColor(242, 242, 242)},
                          {QColor(255, 255, 255), 0.1, QColor(229, 229, 229)},
                          {QColor(100, 100, 100), 0.1, QColor(110, 110, 110)},
                          {QColor(250, 10, 10), 0.1, QColor(255, 11, 11)}};
    for (const Case& c : cases)
        EXPECT_EQ(Shade(c.in, c.fraction), c.out) << c.in.name().toStdString();
}

// The first column, from the left, in which the area holds a dark pixel; -1 if none.
int FirstInk(const QImage& image, const QRect& area) {
    for (int x = area.left(); x <= area.right(); ++x)
        for (int y = area.top(); y <= area.bottom(); ++y)
            if (qGray(image.pixel(x, y)) < 160) return x;
    return -1;
}

// Japanese labels start with kanji, katakana or Latin letters and are drawn partly in a fallback
// font; each must still begin the same distance from its cell's edge as it would drawn alone.
TEST(ParameterListLabels, LabelsOfEveryScriptLineUp) {
    g_resources.Init();
    g_resources.LoadLanguage("Japanese.lng");
    CParameterListCtrl list;
    ApplyUIFont(&list);
    list.resize(560, 1100);
    list.SetModel(MakeModel("RB16T5-SQ7_2"), true);
    list.show();
    const QImage shown = list.viewport()->grab().toImage();
    std::map<int, std::vector<std::string>> offsets;  // indent -> labels drawn with it
    for (int row = 0; row < list.RowCount(); ++row) {
        const int index = list.ParameterOfRow(row);
        if (list.IsDim(index)) continue;  // grey text; the black ones suffice
        const QString label = ToQ(list.Model()->At(index).GetLabel());
        QRect cell = list.visualItemRect(list.RowItem(row));
        cell.setLeft(0);
        cell.setWidth(list.columnWidth(0));
        if (!list.viewport()->rect().contains(cell)) continue;
        QImage alone(cell.size(), QImage::Format_RGB32);
        alone.fill(Qt::white);
        QPainter painter(&alone);
        painter.setFont(list.font());
        painter.setPen(Qt::black);
        painter.drawText(QRect(QPoint(0, 0), cell.size()), Qt::AlignLeft | Qt::AlignVCenter, label);
        painter.end();
        const int at = FirstInk(shown, cell);
        const int bearing = FirstInk(alone, alone.rect());
        ASSERT_GE(at, 0) << label.toStdString();
        offsets[at - bearing].push_back(label.toStdString());
    }
    ASSERT_FALSE(offsets.empty());
    EXPECT_EQ(offsets.rbegin()->first, offsets.begin()->first)
        << offsets.begin()->second.front() << " vs " << offsets.rbegin()->second.front();
    EXPECT_GE(offsets.begin()->first, 8) << "labels stand indented under their headings";
    testing_support::LoadEnglish();
}

TEST(ParameterListScreenshot, LargestModelInEnglishAndJapanese) {
    for (const char* language : {"English.lng", "Japanese.lng"}) {
        g_resources.Init();
        g_resources.LoadLanguage(language);
        CParameterListCtrl list;
        ApplyUIFont(&list);
        list.resize(560, 720);
        list.SetModel(MakeModel("RB16T5-SQ7_2"), true);
        list.show();
        list.SelectRow(3);
        const std::string suffix = language[0] == 'E' ? "en" : "ja";
        ui_support::SaveScreenshot(&list, "parameter_list_" + suffix, QSize(560, 720));
        // The editors over the list, for review of their layout.
        list.OpenEditor(list.RowOfParameter(list.Model()->IndexOf("ch")), false);
        ui_support::SaveScreenshot(&list, "parameter_list_channels_" + suffix, QSize(560, 720));
        list.OpenEditor(list.RowOfParameter(list.Model()->IndexOf("netname")), false);
        list.textEditor()->insert("Plant-7");
        ui_support::SaveScreenshot(&list, "parameter_list_text_" + suffix, QSize(560, 720));
        EXPECT_EQ(list.Model()->Count(), 37);
        EXPECT_EQ(list.RowCount(), 34) << "three of the parameters are group headings";
    }
    testing_support::LoadEnglish();
}

}  // namespace
