// SPDX-License-Identifier: MIT
// The window as the operator first sees it: the form, its fixed texts, the
// initial display, the window's flags and icon, the slot table, and how the
// program ends.

#include "app/dialog.h"
#include "sim/tqr7hid.h"
#include "tests/support/debugcapture.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/probe.h"
#include "tests/support/shippedrun.h"
#include "tests/support/texts.h"
#include "tests/support/widgets.h"

#include <QApplication>
#include <QFrame>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/private/qsessionmanager_p.h>
#include <qpa/qplatformsessionmanager.h>

using namespace Texts;

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void widgetsHaveTheirNamesClassesAndCells();
    void fontsAndSizePolicies();
    void fixedTextsAndInitialDisplay();
    void windowFlagsAndIcon();
    void slotTableIsTheFourPrivateSlots();
    void buttonClickReachesTheSlotOncePerClick();
    void extraSpaceGoesToValuesAndSpacers();
    void escapeAndCloseEndTheProgramOnlyOutsideAnUpdate_data();
    void escapeAndCloseEndTheProgramOnlyOutsideAnUpdate();
    void realExecutableExitsWithZeroOnEscape();
};

// The window as the operator reads it, top to bottom: a caption and its value
// on each line, a rule between the link and the update, and at the foot the
// result at the left and Update at the right.
void TestForm::widgetsHaveTheirNamesClassesAndCells()
{
    struct Line
    {
        const char *caption;
        QString text;
        const char *value;
        const char *valueClass;
    };
    const QVector<Line> lines = {
        {"label", kVersionCaption, "labelVersion", "QLabel"},
        {"label_3", kStatusCaption, "labelStatus", "QLabel"},
        // the rule
        {"label_7", kTargetCaption, "labelTarget", "QLabel"},
        {"label_5", kSubProgressCaption, "progressSub", "QProgressBar"},
        {"label_6", kOverallProgressCaption, "progressOverall", "QProgressBar"},
    };
    const int linesAboveRule = 2;

    Dialog dialog(FirmwareFolder::none());
    QCOMPARE(dialog.objectName(), QStringLiteral("Dialog")); // how tools/watch.cpp finds the window
    QCOMPARE(dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).size(), 13);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // It opens 514 wide and 193 high, or as large as its font needs (wider
    // than 514 with Wine's fonts).
    QCOMPARE(dialog.size(), QSize(514, 193).expandedTo(dialog.minimumSizeHint()));
    const int left = 11;
    const int right = dialog.width() - 11 - 1;

    int above = 0; // the bottom of what is above
    for (int i = 0; i < lines.size(); ++i) {
        if (i == linesAboveRule) {
            auto *rule = widget<QFrame>(dialog, "line");
            QVERIFY(rule);
            QCOMPARE(rule->frameShape(), QFrame::HLine);
            QCOMPARE(rule->frameShadow(), QFrame::Sunken);
            QVERIFY(rule->geometry().top() > above);
            QCOMPARE(rule->geometry().left(), left);
            QCOMPARE(rule->geometry().right(), right);
            above = rule->geometry().bottom();
        }
        const Line &line = lines.at(i);
        auto *caption = widget<QLabel>(dialog, line.caption);
        auto *value = widget<QWidget>(dialog, line.value);
        QVERIFY2(caption && value, line.caption);
        QCOMPARE(caption->text(), line.text);
        QCOMPARE(value->metaObject()->className(), line.valueClass);
        const QRect c = caption->geometry();
        const QRect v = value->geometry();
        QVERIFY2(c.top() > above, line.caption);
        QCOMPARE(c.left(), left);
        QCOMPARE(v.center().y(), c.center().y());
        QVERIFY2(v.left() > c.right(), line.value);
        // Each block's values start in one column and reach the right margin.
        const char *first = lines.at(i < linesAboveRule ? 0 : linesAboveRule).value;
        QCOMPARE(v.left(), widget<QWidget>(dialog, first)->x());
        QCOMPARE(v.right(), right);
        above = qMax(c.bottom(), v.bottom());
    }

    auto *button = widget<QPushButton>(dialog, "buttonUpdate");
    QVERIFY(button);
    QVERIFY(button->geometry().top() > above);
    QCOMPARE(button->geometry().right(), right);
    QCOMPARE(button->geometry().bottom(), dialog.height() - 11 - 1);
    // The result, once shown, on the button's line at the left; the window may
    // widen to fit it.
    auto *result = widget<QLabel>(dialog, "labelComplete");
    QVERIFY(result);
    result->show();
    const auto onFootLine = [&] {
        return result->x() == left && result->geometry().center().y() == button->geometry().center().y()
            && button->geometry().right() == dialog.width() - 11 - 1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(onFootLine(), 5000);
    QVERIFY(result->geometry().right() < button->x());
}

void TestForm::fontsAndSizePolicies()
{
    Dialog dialog(FirmwareFolder::none());
    for (const char *caption : {"label", "label_3", "label_7", "label_5", "label_6"}) {
        const QFont font = widget<QLabel>(dialog, caption)->font();
        QVERIFY2(font.bold(), caption);
        QCOMPARE(int(font.weight()), int(QFont::Bold));
        QCOMPARE(font.pointSizeF(), QApplication::font().pointSizeF());
    }
    for (const char *value : {"labelVersion", "labelStatus", "labelTarget"})
        QVERIFY2(!widget<QLabel>(dialog, value)->font().bold(), value);
    const QFont result = widget<QLabel>(dialog, "labelComplete")->font();
    QCOMPARE(result.pointSize(), 12);
    QVERIFY(result.bold());

    // The values take the width the captions leave: each caption column is
    // as wide as its widest caption, and the bars are as tall as they ask.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QVector<QVector<const char *>> columns = {{"label", "label_3"}, {"label_7", "label_5", "label_6"}};
    for (const QVector<const char *> &captions : columns) {
        int widest = 0;
        for (const char *caption : captions)
            widest = qMax(widest, widget<QLabel>(dialog, caption)->sizeHint().width());
        for (const char *caption : captions)
            QCOMPARE(widget<QLabel>(dialog, caption)->width(), widest);
    }
    for (const char *bar : {"progressSub", "progressOverall"}) {
        auto *progress = widget<QProgressBar>(dialog, bar);
        QCOMPARE(progress->height(), progress->sizeHint().height());
    }
}

void TestForm::fixedTextsAndInitialDisplay()
{
    Dialog dialog(FirmwareFolder::none());
    QCOMPARE(dialog.windowTitle(), kTitle);
    QCOMPARE(widget<QLabel>(dialog, "label")->text(), kVersionCaption);
    QCOMPARE(widget<QLabel>(dialog, "label_3")->text(), kStatusCaption);
    QCOMPARE(widget<QLabel>(dialog, "label_7")->text(), kTargetCaption);
    QCOMPARE(widget<QLabel>(dialog, "label_5")->text(), kSubProgressCaption);
    QCOMPARE(widget<QLabel>(dialog, "label_6")->text(), kOverallProgressCaption);
    QCOMPARE(widget<QPushButton>(dialog, "buttonUpdate")->text(), kUpdateButton);

    // Without firmware: the warning, no link, nothing running, nothing to press.
    QCOMPARE(widget<QLabel>(dialog, "labelVersion")->text(), kFirmwareMissing);
    QCOMPARE(widget<QLabel>(dialog, "labelStatus")->text(), kNotConnected);
    QCOMPARE(widget<QLabel>(dialog, "labelTarget")->text(), kNoTarget);
    for (const char *bar : {"progressSub", "progressOverall"}) {
        QCOMPARE(widget<QProgressBar>(dialog, bar)->value(), 0);
        QCOMPARE(widget<QProgressBar>(dialog, bar)->minimum(), 0);
        QCOMPARE(widget<QProgressBar>(dialog, bar)->maximum(), 100);
    }
    auto *complete = widget<QLabel>(dialog, "labelComplete");
    QVERIFY(complete->isHidden());
    QCOMPARE(complete->text(), kResultBeforeAny);
    QVERIFY(!widget<QPushButton>(dialog, "buttonUpdate")->isEnabled());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(!complete->isVisible());
}

void TestForm::windowFlagsAndIcon()
{
    Dialog dialog(FirmwareFolder::none());
    // The dialog window type is replaced: a plain top-level window with the
    // fixed-size hint, to which Qt adds only its default decorations.
    QVERIFY(dialog.windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QCOMPARE(dialog.windowType(), Qt::Window);
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    const QIcon compiledIn(QStringLiteral(":/res/wendrix.ico"));
    QCOMPARE(compiledIn.availableSizes(), QList<QSize>({QSize(32, 32), QSize(16, 16)}));
    QCOMPARE(dialog.windowIcon().availableSizes(), compiledIn.availableSizes());
    for (int size : {16, 32})
        QCOMPARE(dialog.windowIcon().pixmap(size).toImage(), compiledIn.pixmap(size).toImage());

    // The file holds two images, 32 x 32 and 16 x 16, both 32 bits a pixel
    // with an alpha channel (the Windows icon group carries the same file).
    QImageReader reader(QStringLiteral(":/res/wendrix.ico"));
    QCOMPARE(reader.imageCount(), 2);
    QList<QSize> sizes;
    do {
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.depth(), 32);
        QVERIFY(image.hasAlphaChannel());
        sizes << image.size();
    } while (reader.jumpToNextImage());
    QCOMPARE(sizes, QList<QSize>({QSize(32, 32), QSize(16, 16)}));
}

void TestForm::slotTableIsTheFourPrivateSlots()
{
    const QMetaObject &meta = Dialog::staticMetaObject;
    QCOMPARE(meta.className(), "Dialog");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 4);
    const QByteArrayList expected
        = {"pollUsb()", "flashTimeout()", "fwupdateModeCheck()", "on_buttonUpdate_clicked()"};
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
}

void TestForm::buttonClickReachesTheSlotOncePerClick()
{
    // Without firmware the slot can only refuse; each refusal writes one line,
    // so the lines count the calls the connection by name delivers.
    DebugCapture log;
    Dialog dialog(FirmwareFolder::none());
    auto *button = widget<QPushButton>(dialog, "buttonUpdate");
    button->setEnabled(true);
    button->click();
    QCOMPARE(log.linesStartingWith({kFirmwareFileError}).size(), 1);
    button->setEnabled(true);
    button->click();
    QCOMPARE(log.linesStartingWith({kFirmwareFileError}).size(), 2);
}

void TestForm::extraSpaceGoesToValuesAndSpacers()
{
    Dialog dialog(FirmwareFolder::none());
    widget<QLabel>(dialog, "labelComplete")->show(); // as after an update
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.resize(900, 400);
    QTRY_COMPARE_WITH_TIMEOUT(dialog.size(), QSize(900, 400), 5000);
    dialog.layout()->activate();

    const auto geometry = [&](const char *name) { return widget<QWidget>(dialog, name)->geometry(); };
    QCOMPARE(geometry("buttonUpdate").right(), 900 - 11 - 1);
    QCOMPARE(geometry("buttonUpdate").bottom(), 400 - 11 - 1);
    QCOMPARE(geometry("labelComplete").left(), 11);
    for (const char *value : {"labelVersion", "labelStatus", "progressSub", "progressOverall"})
        QCOMPARE(geometry(value).right(), 900 - 11 - 1);
    QVERIFY(geometry("label").width() < 200);
    QVERIFY(geometry("progressOverall").bottom() < 200); // the free space is below the bars
}

namespace {
// A session's end comes as Windows sends it (no interaction) or as a desktop
// that lets programs ask (Qt 5 then also asks each window to close).
enum Slip { Escape, Close, SessionEnd, SessionEndAsking };
// What the operator does with the question a close during an update asks.
enum Answer { NoQuestion, PressEnter, ClickYes, LeaveOpen };

// The platform's session manager, noting whether the program cancelled.
class RecordingSessionManager : public QPlatformSessionManager
{
public:
    explicit RecordingSessionManager(bool interaction)
        : QPlatformSessionManager(QString(), QString()), interaction(interaction)
    { }
    bool allowsInteraction() override { return interaction; }
    void cancel() override { cancelled = true; }
    const bool interaction;
    bool cancelled = false;
};

// The session asks the program to save its data before it ends, as a logout
// or a shutdown does through the platform: whether the program cancelled.
bool endSession(bool interaction)
{
    auto *app = static_cast<QGuiApplicationPrivate *>(QObjectPrivate::get(qApp));
    auto *manager = static_cast<QSessionManagerPrivate *>(QObjectPrivate::get(app->session_manager));
    RecordingSessionManager recording(interaction);
    QPlatformSessionManager *platform = manager->platformSessionManager;
    manager->platformSessionManager = &recording;
    app->commitData();
    manager->platformSessionManager = platform;
    return recording.cancelled;
}
} // namespace

void TestForm::escapeAndCloseEndTheProgramOnlyOutsideAnUpdate_data()
{
    QTest::addColumn<bool>("updating");
    QTest::addColumn<int>("slip");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("programEnds"); // with 0; otherwise the update completes

    QTest::newRow("Escape, no update") << false << int(Escape) << int(NoQuestion) << true;
    QTest::newRow("close, no update") << false << int(Close) << int(NoQuestion) << true;
    QTest::newRow("Escape during an update") << true << int(Escape) << int(NoQuestion) << false;
    QTest::newRow("close during an update, Enter takes No") << true << int(Close) << int(PressEnter) << false;
    QTest::newRow("close during an update, Yes") << true << int(Close) << int(ClickYes) << true;
    QTest::newRow("close during an update, the update ends first")
        << true << int(Close) << int(LeaveOpen) << false;
    // A session's end is refused during an update, without a question; Qt 5
    // closes the windows of a session that ends, Qt 6 leaves that to the session.
    QTest::newRow("session end, no update")
        << false << int(SessionEndAsking) << int(NoQuestion) << (QT_VERSION < 0x060000);
    QTest::newRow("session end during an update") << true << int(SessionEnd) << int(NoQuestion) << false;
    QTest::newRow("session end during an update, windows asked to close")
        << true << int(SessionEndAsking) << int(NoQuestion) << false;
}

void TestForm::escapeAndCloseEndTheProgramOnlyOutsideAnUpdate()
{
    QFETCH(bool, updating);
    QFETCH(int, slip);
    QFETCH(int, answer);
    QFETCH(bool, programEnds);

    Tqr7Hid::reset();
    FirmwareFolder fw;
    fw.writeSet(40, 40, 40);
    DialogRun run(fw.path());
    if (updating)
        QVERIFY(run.pressUpdate());

    // The question, seen from inside its own event loop.
    struct
    {
        bool shown = false, noIsDefault = false, updateGoesOn = false;
    } question;
    const auto answerQuestion = [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        question.shown = true;
        question.noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        const int sent = dataReports().size();
        question.updateGoesOn = QTest::qWaitFor([&] { return dataReports().size() > sent + 5; }, kDeadline);
        if (answer == PressEnter)
            QTest::keyClick(box, Qt::Key_Return);
        else if (answer == ClickYes)
            box->button(QMessageBox::Yes)->click();
        else if (answer == NoQuestion)
            box->reject(); // one that should not have been asked: noted, and answered No
    };
    bool cancelled = false;
    const auto slipUp = [&] {
        if (slip == Escape)
            QTest::keyClick(&run.dialog, Qt::Key_Escape);
        else if (slip == Close)
            run.dialog.close();
        else
            cancelled = endSession(slip == SessionEndAsking);
    };

    if (programEnds) {
        QTimer::singleShot(0, &run.dialog, slipUp);
        QTimer::singleShot(0, &run.dialog, answerQuestion); // runs in the question's loop, if one is asked
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(kDeadline);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!run.dialog.isVisible());
    } else {
        QTimer::singleShot(0, &run.dialog, answerQuestion);
        slipUp();
        QVERIFY(run.dialog.isVisible());
        if (updating) {
            QVERIFY(run.ends(kComplete));
            QCOMPARE(received(3), received(2));
        }
    }
    QCOMPARE(cancelled, slip >= SessionEnd && updating);
    QCOMPARE(question.shown, answer != NoQuestion);
    if (question.shown) {
        QVERIFY(question.noIsDefault);
        QVERIFY(question.updateGoesOn);
    }
}

void TestForm::realExecutableExitsWithZeroOnEscape()
{
    // A real window needs a real display: Xvfb, with xdotool to press Escape.
    if (!ShippedRun::possible())
        QSKIP("xvfb-run and xdotool are needed to run the real executable");
    QTemporaryDir data;
    const ShippedRun run(QStringLiteral(WENDRIX_EXECUTABLE), data.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);

    // Qt's own lines while the application object is made may come first. The
    // firmware folder is the one beside the executable.
    const QString beside
        = QFileInfo(QStringLiteral(WENDRIX_EXECUTABLE)).canonicalPath() + QStringLiteral("/firmware");
    const QByteArray path = logLine(kFirmwarePath, beside).toUtf8() + '\n';
    QVERIFY2(run.standardError.startsWith(path) || run.standardError.contains('\n' + path),
        run.standardError.constData());
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
