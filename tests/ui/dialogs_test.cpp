// The settings dialog's radio-group exchange and the text dialog's 15-character rows, driven
// as a user drives them: clicks, keys and the clipboard.

#include "serial_dlg.h"
#include "telegrams.h"
#include "text_input_dlg.h"
#include "window_rig.h"

#include <QButtonGroup>
#include <QClipboard>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QPushButton* Button(QWidget* pDialog, const QString& text)
{
    for (QPushButton* pButton : pDialog->findChildren<QPushButton*>())
        if (pButton->text() == text)
            return pButton;
    return nullptr;
}

// The texts of a dialog's children of one kind, sorted.
template <class TWidget>
QStringList ChildTexts(QWidget* pDialog, QString (TWidget::*text)() const)
{
    QStringList texts;
    for (TWidget* pChild : pDialog->findChildren<TWidget*>())
        texts << (pChild->*text)();
    texts.sort();
    return texts;
}

std::vector<bool> Checked(QButtonGroup* pGroup)
{
    std::vector<bool> states;
    for (int id = 0; id < 3; ++id)
        states.push_back(pGroup->button(id)->isChecked());
    return states;
}

// Runs the settings dialog modally; inside its loop, first reads the checked buttons, then
// does what the user does.
struct SerialRun {
    int nResult = -1;
    std::vector<bool> portChecked;
    std::vector<bool> baudChecked;
};

SerialRun RunSerial(CSerialDlg& dlg, const std::function<void(CSerialDlg&)>& user)
{
    SerialRun run;
    CModalSpy spy;
    OnNextModal(spy, [&](QWidget*) {
        run.portChecked = Checked(dlg.PortGroup());
        run.baudChecked = Checked(dlg.BaudGroup());
        user(dlg);
    });
    run.nResult = dlg.DoModal();
    EXPECT_EQ(spy.nSeen, 1);
    return run;
}

void ClickOk(QWidget* pDialog)
{
    QTest::mouseClick(Button(pDialog, QStringLiteral("OK")), Qt::LeftButton);
}

void ClickCancel(QWidget* pDialog)
{
    QTest::mouseClick(Button(pDialog, QStringLiteral("Cancel")), Qt::LeftButton);
}

} // namespace

// ---------------------------------------------------------------------------------------
// "Serial Communication"

namespace {

// The preset shown, what the user clicks, and the choices the dialog hands back.
struct SerialCase {
    const char* name;
    int presetPort;
    int presetBaud;
    std::vector<int> portClicks;
    std::vector<int> baudClicks;
    bool ok;
    std::vector<bool> portChecked; // at the opening
    std::vector<bool> baudChecked;
    int port;
    int baud;
};

class SerialDlgExchange : public ::testing::TestWithParam<SerialCase> {};

} // namespace

TEST_P(SerialDlgExchange, PresetClicksAndResult)
{
    const SerialCase& c = GetParam();
    CSerialDlg dlg;
    dlg.m_nPortChoice = c.presetPort;
    dlg.m_nBaudChoice = c.presetBaud;
    const SerialRun run = RunSerial(dlg, [&c](CSerialDlg& d) {
        for (int id : c.baudClicks)
            QTest::mouseClick(d.BaudGroup()->button(id), Qt::LeftButton);
        for (int id : c.portClicks)
            QTest::mouseClick(d.PortGroup()->button(id), Qt::LeftButton);
        c.ok ? ClickOk(&d) : ClickCancel(&d);
    });
    EXPECT_EQ(run.nResult, c.ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(run.portChecked, c.portChecked);
    EXPECT_EQ(run.baudChecked, c.baudChecked);
    EXPECT_EQ(dlg.m_nPortChoice, c.port);
    EXPECT_EQ(dlg.m_nBaudChoice, c.baud);
}

namespace {
const std::vector<bool> kNone{false, false, false};
const std::vector<bool> kFirst{true, false, false};
const std::vector<bool> kSecond{false, true, false};
} // namespace

// clang-format off
INSTANTIATE_TEST_SUITE_P(SerialDlgTest, SerialDlgExchange, ::testing::Values(
    SerialCase{"PresetChecksMatchingButtonsAndOkKeepsThem", 1, 0, {}, {}, true, kSecond, kFirst, 1, 0},
    SerialCase{"ClickingBaudRateThenOkTakesIt", 1, 0, {}, {1}, true, kSecond, kFirst, 1, 1},
    SerialCase{"CancelKeepsTheChoices", 1, 0, {0}, {1}, false, kSecond, kFirst, 1, 0},
    SerialCase{"ChoiceOutsideTheGroupLeavesItUnchecked", -1, 7, {}, {}, true, kNone, kNone, -1, -1}),
    [](const ::testing::TestParamInfo<SerialCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(SerialDlgTest, SecondOpeningShowsTheNewPresetOnly)
{
    // A dialog object reused with another preset must not keep the old button checked.
    CSerialDlg dlg;
    dlg.m_nPortChoice = 0;
    dlg.m_nBaudChoice = 1;
    RunSerial(dlg, [](CSerialDlg& d) { ClickOk(&d); });
    dlg.m_nPortChoice = 1;
    dlg.m_nBaudChoice = -1;
    const SerialRun run = RunSerial(dlg, [](CSerialDlg& d) { ClickOk(&d); });
    EXPECT_EQ(run.portChecked, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(run.baudChecked, (std::vector<bool>{false, false, false}));
}

TEST(SerialDlgTest, HiddenAutodetectButtonsCannotBeReached)
{
    CSerialDlg dlg;
    dlg.m_nPortChoice = 1;
    dlg.m_nBaudChoice = 1;
    bool bPortHidden = false;
    bool bBaudHidden = false;
    const SerialRun run = RunSerial(dlg, [&](CSerialDlg& d) {
        bPortHidden = !d.PortGroup()->button(2)->isVisible();
        bBaudHidden = !d.BaudGroup()->button(2)->isVisible();
        // Arrow keys move along the visible buttons of a group only.
        d.PortGroup()->button(1)->setFocus();
        QTest::keyClick(d.PortGroup()->button(1), Qt::Key_Down);
        d.BaudGroup()->button(1)->setFocus();
        QTest::keyClick(d.BaudGroup()->button(1), Qt::Key_Down);
        ClickOk(&d);
    });
    EXPECT_TRUE(bPortHidden);
    EXPECT_TRUE(bBaudHidden);
    EXPECT_EQ(dlg.PortGroup()->button(2)->text(), QStringLiteral("&Autodetect"));
    EXPECT_EQ(dlg.BaudGroup()->button(2)->text(), QStringLiteral("Autodetect"));
    EXPECT_FALSE(run.portChecked[2]);
    EXPECT_GE(dlg.m_nPortChoice, 0);
    EXPECT_LE(dlg.m_nPortChoice, 1);
    EXPECT_GE(dlg.m_nBaudChoice, 0);
    EXPECT_LE(dlg.m_nBaudChoice, 1);
}

TEST(SerialDlgTest, TextsOfTheDialog)
{
    CSerialDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Serial Communication"));
    EXPECT_EQ(ChildTexts(&dlg, &QGroupBox::title),
              (QStringList{QStringLiteral("Baudrate "), QStringLiteral("Serial Port ")}));
    EXPECT_EQ(dlg.PortGroup()->button(0)->text(), QStringLiteral("COM &1"));
    EXPECT_EQ(dlg.PortGroup()->button(1)->text(), QStringLiteral("COM &2"));
    EXPECT_EQ(dlg.BaudGroup()->button(0)->text(), QStringLiteral("9600"));
    EXPECT_EQ(dlg.BaudGroup()->button(1)->text(), QStringLiteral("19200"));
    EXPECT_NE(Button(&dlg, QStringLiteral("OK")), nullptr);
    EXPECT_NE(Button(&dlg, QStringLiteral("Cancel")), nullptr);
}

TEST(SerialDlgTest, PortButtonsShowTheMappedDevices)
{
    const CScopedEnv com1("KOVA_COM1", "/dev/serial/by-id/usb-Test_Adaptor_A-if00-port0");
    const CScopedEnv com2("KOVA_COM2", "/tmp/kova-ui-test-com2");
    CSerialDlg dlg;
    EXPECT_TRUE(dlg.PortGroup()->button(0)->toolTip().contains(
        QStringLiteral("/dev/serial/by-id/usb-Test_Adaptor_A-if00-port0")));
    EXPECT_TRUE(dlg.PortGroup()->button(1)->toolTip().contains(QStringLiteral("/tmp/kova-ui-test-com2")));
    // The texts themselves stay as they are.
    EXPECT_EQ(dlg.PortGroup()->button(0)->text(), QStringLiteral("COM &1"));
}

TEST(SerialDlgTest, PortButtonsShowDefaultDevicesWithoutEnvironment)
{
    const CScopedEnv com1("KOVA_COM1", "");
    // Nor a configuration of the user running the tests.
    QTemporaryDir configHome;
    const CScopedEnv home("XDG_CONFIG_HOME", configHome.path().toLocal8Bit().constData());
    CSerialDlg dlg;
    EXPECT_TRUE(dlg.PortGroup()->button(0)->toolTip().contains(QStringLiteral("/dev/ttyS0")));
}

TEST(SerialDlgTest, MainWindowTakesChoicesOnOkOnly)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CPanelDlg window(&device, &clock);
    int nPort = 1;
    int nBaud = 0;
    CModalSpy spy;
    // The user clicks one radio button of the window's settings dialog, then OK or Cancel.
    const auto answer = [&spy](bool bBaud, int nId, bool bOk) {
        OnNextModal(spy, [=](QWidget* pModal) {
            auto* pDlg = qobject_cast<CSerialDlg*>(pModal);
            ASSERT_NE(pDlg, nullptr);
            QTest::mouseClick((bBaud ? pDlg->BaudGroup() : pDlg->PortGroup())->button(nId), Qt::LeftButton);
            bOk ? ClickOk(pDlg) : ClickCancel(pDlg);
        });
    };
    answer(true, 1, true);
    EXPECT_TRUE(window.RunSerialDialog(nPort, nBaud));
    EXPECT_EQ(nPort, 1);
    EXPECT_EQ(nBaud, 1);

    answer(false, 0, false);
    EXPECT_FALSE(window.RunSerialDialog(nPort, nBaud));
    EXPECT_EQ(nPort, 1);
    EXPECT_EQ(nBaud, 1);
    EXPECT_EQ(spy.nSeen, 2);
}

// ---------------------------------------------------------------------------------------
// "Text Input"

namespace {

class TextFieldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        pEdit = dlg.Edit(0);
        pEdit->setFocus();
    }

    // One key press that carries the whole text, as an input method delivers an emoji.
    void TypeAsOneKey(const QString& text)
    {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text);
        QCoreApplication::sendEvent(pEdit, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, text);
        QCoreApplication::sendEvent(pEdit, &release);
    }

    // Types text one character (code point) at a time, as a keyboard or input method sends it.
    void Type(const QString& text)
    {
        for (char32_t ch : text.toUcs4())
            TypeAsOneKey(QString::fromUcs4(&ch, 1));
    }

    void Paste(const QString& text)
    {
        QGuiApplication::clipboard()->setText(text);
        pEdit->paste();
    }

    CTextInputDlg dlg;
    QLineEdit* pEdit = nullptr;
};

int CodePoints(const QString& text)
{
    return static_cast<int>(text.toUcs4().size());
}

const QString kEmoji = QString::fromUcs4(U"\U0001F600");

} // namespace

TEST_F(TextFieldTest, TypedAsciiStopsAtFifteen)
{
    QTest::keyClicks(pEdit, QStringLiteral("abcdefghijklmnopqrst"));
    EXPECT_EQ(pEdit->text(), QStringLiteral("abcdefghijklmno"));
}

TEST_F(TextFieldTest, TypedAccentedLettersAndRightToLeftTextStopAtFifteen)
{
    Type(QString(20, QChar(0xE4)));
    EXPECT_EQ(pEdit->text(), QString(15, QChar(0xE4)));

    pEdit->clear();
    const QString hebrew = QStringLiteral(
        u"\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD \u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD");
    ASSERT_GT(CodePoints(hebrew), 15);
    Type(hebrew);
    EXPECT_EQ(pEdit->text(), QStringLiteral("???? ???? ???? ")); // not in the LCD's code page

    pEdit->clear();
    const QString arabic = QStringLiteral(
        u"\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 \u0645\u0631\u062D\u0628\u0627");
    Type(arabic);
    EXPECT_EQ(pEdit->text(), QStringLiteral("????? ??????? ?"));
}

TEST_F(TextFieldTest, CombiningMarksCountAsCharacters)
{
    QString decomposed;
    for (int i = 0; i < 10; ++i)
        decomposed += QStringLiteral(u"e\u0301");
    Type(decomposed);
    EXPECT_EQ(pEdit->text(), QStringLiteral("e?e?e?e?e?e?e?e")); // the code page has no combining mark
}

TEST_F(TextFieldTest, TypedEmojiStopAtFifteenWithoutSplittingPairs)
{
    QString emojis;
    for (int i = 0; i < 20; ++i)
        emojis += kEmoji;
    Type(emojis);
    EXPECT_EQ(pEdit->text(), QString(15, u'?')); // one '?' for each, never half a pair
}

TEST_F(TextFieldTest, PastedTextIsCutToFifteenWithoutSplittingPairs)
{
    Paste(QString(20, u'x'));
    EXPECT_EQ(pEdit->text(), QString(15, u'x'));

    pEdit->clear();
    QString emojis;
    for (int i = 0; i < 20; ++i)
        emojis += kEmoji;
    Paste(emojis);
    EXPECT_EQ(pEdit->text(), QString(15, u'?'));

    // One place left: the emoji takes it as one '?', its successor nothing.
    pEdit->setText(QString(14, u'a'));
    Paste(kEmoji + kEmoji);
    EXPECT_EQ(pEdit->text(), QString(14, u'a') + u'?');
}

TEST_F(TextFieldTest, PasteInTheMiddleKeepsTheExistingText)
{
    pEdit->setText(QStringLiteral("abcdefghij"));
    pEdit->setCursorPosition(5);
    Paste(QStringLiteral("0123456789"));
    EXPECT_EQ(pEdit->text(), QStringLiteral("abcde01234fghij"));
    EXPECT_EQ(pEdit->cursorPosition(), 10);
}

TEST_F(TextFieldTest, TypingIntoAFullFieldChangesNothing)
{
    pEdit->setText(QStringLiteral("abcdefghijklmno"));
    pEdit->setCursorPosition(0);
    QTest::keyClicks(pEdit, QStringLiteral("XY"));
    EXPECT_EQ(pEdit->text(), QStringLiteral("abcdefghijklmno"));
    pEdit->setCursorPosition(7);
    TypeAsOneKey(kEmoji);
    EXPECT_EQ(pEdit->text(), QStringLiteral("abcdefghijklmno"));
}

TEST_F(TextFieldTest, TypingOverASelectionReplacesIt)
{
    pEdit->setText(QStringLiteral("abcdefghijklmno"));
    pEdit->setSelection(3, 2);
    QTest::keyClicks(pEdit, QStringLiteral("XYZ"));
    // "de" replaced by "X" and "Y"; no room is left for "Z".
    EXPECT_EQ(pEdit->text(), QStringLiteral("abcXYfghijklmno"));
}

TEST_F(TextFieldTest, TextSetOrInsertedByProgramIsHeldToo)
{
    pEdit->setText(QString(20, QChar(0x05D0)));
    EXPECT_EQ(CodePoints(pEdit->text()), 15);
    pEdit->clear();
    pEdit->insert(QString(10, u'a'));
    pEdit->insert(QString(10, u'b'));
    EXPECT_EQ(pEdit->text(), QString(10, u'a') + QString(5, u'b'));
}

TEST_F(TextFieldTest, CharactersOutsideTheCodePageBecomeQuestionMarksForThePanel)
{
    // Typed and pasted alike. The code page's own characters stay, those it has between 0x80
    // and 0x9F (the euro sign, Y with diaeresis) too; a C1 control (U+0080), a-macron, a CJK
    // character and an emoji do not.
    Type(QStringLiteral(u"A\u4E2D\u20AC"));
    Paste(kEmoji + QStringLiteral(u"\u0101\u0178\u00E9\u0080"));
    EXPECT_EQ(pEdit->text(), QStringLiteral(u"A?\u20AC??\u0178\u00E9?"));
    // Each '?' reaches the panel as 0x9F.
    const auto telegram = RowTelegram(pEdit->text());
    EXPECT_EQ(std::vector<uint8_t>(telegram.begin() + 2, telegram.begin() + 11),
              (std::vector<uint8_t>{0xA1, 0x9F, 0x80, 0x9F, 0x9F, 0x80, 0x80, 0x9F, '#'}));
    // A preset row goes the same way.
    dlg.m_strEdit[1] = QStringLiteral(u"\u4E2D") + kEmoji;
    dlg.DoDataExchange(false);
    dlg.DoDataExchange(true);
    EXPECT_EQ(dlg.m_strEdit[1], QStringLiteral("??"));
}

TEST(TextInputDlgTest, ExchangeCutsPresetRowsAndReturnsRowsOnOk)
{
    CTextInputDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Text Input"));
    const QStringList labels = ChildTexts(&dlg, &QLabel::text);
    for (int i = 1; i <= 8; ++i)
        EXPECT_TRUE(labels.contains(QStringLiteral("Row %1:").arg(i))) << i;

    dlg.m_strEdit[0] = QString(20, u'q');
    dlg.m_strEdit[3] = QStringLiteral("A1");
    CModalSpy spy;
    QStringList shown;
    OnNextModal(spy, [&](QWidget* pModal) {
        auto* pDlg = static_cast<CTextInputDlg*>(pModal);
        for (int i = 0; i < 8; ++i)
            shown << pDlg->Edit(i)->text();
        pDlg->Edit(6)->setFocus();
        QTest::keyClicks(pDlg->Edit(6), QStringLiteral("0123456789ABCDEFGHIJ"));
        ClickOk(pDlg);
    });
    EXPECT_EQ(dlg.DoModal(), QDialog::Accepted);
    ASSERT_EQ(shown.size(), 8);
    EXPECT_EQ(shown[0], QString(15, u'q'));
    EXPECT_EQ(shown[3], QStringLiteral("A1"));
    EXPECT_EQ(dlg.m_strEdit[0], QString(15, u'q'));
    EXPECT_EQ(dlg.m_strEdit[3], QStringLiteral("A1"));
    EXPECT_EQ(dlg.m_strEdit[6], QStringLiteral("0123456789ABCDE"));
}

TEST(TextInputDlgTest, CancelLeavesTheRowsAlone)
{
    CFakeClock clock;
    CFakeSerialDevice device(clock);
    CPanelDlg window(&device, &clock);
    std::array<QString, kLcdRows> rows;
    rows[1] = QStringLiteral("keep me");
    CModalSpy spy;
    // The user changes the second row, then clicks OK or Cancel.
    const auto answer = [&spy](bool bOk) {
        OnNextModal(spy, [=](QWidget* pModal) {
            auto* pDlg = static_cast<CTextInputDlg*>(pModal);
            pDlg->Edit(1)->setText(QStringLiteral("changed"));
            bOk ? ClickOk(pDlg) : ClickCancel(pDlg);
        });
    };
    answer(false);
    EXPECT_FALSE(window.RunTextInputDialog(rows));
    EXPECT_EQ(rows[1], QStringLiteral("keep me"));

    answer(true);
    EXPECT_TRUE(window.RunTextInputDialog(rows));
    EXPECT_EQ(rows[1], QStringLiteral("changed"));
    EXPECT_EQ(spy.nSeen, 2);
}

// ---------------------------------------------------------------------------------------
// Keys of both dialogs

TEST(DialogKeysTest, EnterTakesTheInputAndEscapeDropsIt)
{
    CModalSpy spy;
    {
        CTextInputDlg dlg;
        // Types into the third row, then presses the key.
        const auto type = [&spy](const QString& text, Qt::Key key) {
            OnNextModal(spy, [=](QWidget* pModal) {
                auto* pDlg = static_cast<CTextInputDlg*>(pModal);
                pDlg->Edit(2)->setFocus();
                QTest::keyClicks(pDlg->Edit(2), text);
                QTest::keyClick(pDlg->Edit(2), key);
            });
        };
        type(QStringLiteral("ENTER"), Qt::Key_Return);
        EXPECT_EQ(dlg.DoModal(), QDialog::Accepted);
        EXPECT_EQ(dlg.m_strEdit[2], QStringLiteral("ENTER"));

        type(QStringLiteral("X"), Qt::Key_Escape);
        EXPECT_EQ(dlg.DoModal(), QDialog::Rejected);
        EXPECT_EQ(dlg.m_strEdit[2], QStringLiteral("ENTER"));
    }
    {
        CSerialDlg dlg;
        dlg.m_nPortChoice = 0;
        dlg.m_nBaudChoice = 0;
        RunSerial(dlg, [](CSerialDlg& d) {
            QTest::mouseClick(d.BaudGroup()->button(1), Qt::LeftButton);
            QTest::keyClick(d.BaudGroup()->button(1), Qt::Key_Escape);
        });
        EXPECT_EQ(dlg.m_nBaudChoice, 0);
        const SerialRun run = RunSerial(dlg, [](CSerialDlg& d) {
            QTest::mouseClick(d.BaudGroup()->button(1), Qt::LeftButton);
            QTest::keyClick(d.BaudGroup()->button(1), Qt::Key_Return);
        });
        EXPECT_EQ(run.nResult, QDialog::Accepted);
        EXPECT_EQ(dlg.m_nBaudChoice, 1);
    }
    // The buttons carry the program's own texts, and OK is the one Enter presses.
    for (QDialog* pDlg : std::initializer_list<QDialog*>{new CSerialDlg, new CTextInputDlg}) {
        ASSERT_NE(Button(pDlg, QStringLiteral("OK")), nullptr);
        ASSERT_NE(Button(pDlg, QStringLiteral("Cancel")), nullptr);
        EXPECT_TRUE(Button(pDlg, QStringLiteral("OK"))->isDefault());
        delete pDlg;
    }
}
