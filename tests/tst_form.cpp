// The window as the operator first sees it: the form, its fixed texts, the
// initial display, the window's flags and icon, the slot table, and how the
// program ends.

#include "app/dialog.h"
#include "tests/support/debugcapture.h"
#include "tests/support/firmwarefolder.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void init() { FirmwareFolder::removeLink(); }

    void widgetsHaveTheirNamesClassesAndCells();
    void fontsAndSizePolicies();
    void fixedTextsAndInitialDisplay();
    void windowFlagsAndIcon();
    void slotTableIsTheFourPrivateSlots();
    void buttonClickReachesTheSlotOncePerClick();
    void extraSpaceGoesToValuesAndSpacers();
    void escapeAndCloseEndTheEventLoopWithZero();
    void realExecutableExitsWithZeroOnEscape();
};

template <typename T>
static T *child(QObject &dialog, const char *name)
{
    T *object = dialog.findChild<T *>(QString::fromLatin1(name));
    if (!object)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return object;
}

void TestForm::widgetsHaveTheirNamesClassesAndCells()
{
    Dialog dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("Dialog"));
    QCOMPARE(dialog.size(), QSize(514, 193));

    auto *top = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(top);
    QCOMPARE(top->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(top->spacing(), 6);
    QCOMPARE(top->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(top->count(), 5);

    auto *grid = qobject_cast<QGridLayout *>(top->itemAt(0)->layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QCOMPARE(grid->spacing(), 6);
    QCOMPARE(grid->itemAtPosition(0, 0)->widget(), child<QLabel>(dialog, "label"));
    QCOMPARE(grid->itemAtPosition(0, 1)->widget(), child<QLabel>(dialog, "labelVersion"));
    QCOMPARE(grid->itemAtPosition(1, 0)->widget(), child<QLabel>(dialog, "label_3"));
    QCOMPARE(grid->itemAtPosition(1, 1)->widget(), child<QLabel>(dialog, "labelStatus"));

    auto *line = child<QFrame>(dialog, "line");
    QCOMPARE(top->itemAt(1)->widget(), line);
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);

    auto *grid2 = qobject_cast<QGridLayout *>(top->itemAt(2)->layout());
    QVERIFY(grid2);
    QCOMPARE(grid2->objectName(), QStringLiteral("gridLayout_2"));
    QCOMPARE(grid2->spacing(), 6);
    QCOMPARE(grid2->itemAtPosition(0, 0)->widget(), child<QLabel>(dialog, "label_7"));
    QCOMPARE(grid2->itemAtPosition(0, 1)->widget(), child<QLabel>(dialog, "labelTarget"));
    QCOMPARE(grid2->itemAtPosition(1, 0)->widget(), child<QLabel>(dialog, "label_5"));
    QCOMPARE(grid2->itemAtPosition(1, 1)->widget(), child<QProgressBar>(dialog, "progressSub"));
    QCOMPARE(grid2->itemAtPosition(2, 0)->widget(), child<QLabel>(dialog, "label_6"));
    QCOMPARE(grid2->itemAtPosition(2, 1)->widget(), child<QProgressBar>(dialog, "progressOverall"));
    for (QGridLayout *g : {grid, grid2}) {
        for (int i = 0; i < g->count(); ++i) {
            int row, column, rowSpan, columnSpan;
            g->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            QCOMPARE(rowSpan, 1);
            QCOMPARE(columnSpan, 1);
            QCOMPARE(int(g->itemAt(i)->alignment()), 0);
        }
    }

    QSpacerItem *vertical = top->itemAt(3)->spacerItem();
    QVERIFY(vertical);
    QCOMPARE(vertical->sizeHint(), QSize(20, 20));
    QCOMPARE(vertical->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(vertical->sizePolicy().verticalPolicy(), QSizePolicy::MinimumExpanding);

    auto *bottom = qobject_cast<QHBoxLayout *>(top->itemAt(4)->layout());
    QVERIFY(bottom);
    QCOMPARE(bottom->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(bottom->spacing(), 6);
    QCOMPARE(bottom->count(), 3);
    QCOMPARE(bottom->itemAt(0)->widget(), child<QLabel>(dialog, "labelComplete"));
    QSpacerItem *horizontal = bottom->itemAt(1)->spacerItem();
    QVERIFY(horizontal);
    QCOMPARE(horizontal->sizeHint(), QSize(40, 20));
    QCOMPARE(horizontal->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(horizontal->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(bottom->itemAt(2)->widget(), child<QPushButton>(dialog, "buttonUpdate"));
}

void TestForm::fontsAndSizePolicies()
{
    Dialog dialog;
    for (const char *caption : {"label", "label_3", "label_7", "label_5", "label_6"}) {
        const QFont font = child<QLabel>(dialog, caption)->font();
        QVERIFY2(font.bold(), caption);
        QCOMPARE(int(font.weight()), int(QFont::Bold));
        QCOMPARE(font.pointSizeF(), QApplication::font().pointSizeF());
    }
    for (const char *value : {"labelVersion", "labelStatus", "labelTarget"})
        QVERIFY2(!child<QLabel>(dialog, value)->font().bold(), value);
    const QFont result = child<QLabel>(dialog, "labelComplete")->font();
    QCOMPARE(result.pointSize(), 12);
    QVERIFY(result.bold());

    const auto policy = [&](const char *name) { return child<QWidget>(dialog, name)->sizePolicy(); };
    QCOMPARE(policy("labelVersion"), QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred));
    QCOMPARE(policy("labelStatus"), policy("labelVersion"));
    QCOMPARE(policy("progressSub"), QSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed));
    QCOMPARE(dialog.sizePolicy(), QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
}

void TestForm::fixedTextsAndInitialDisplay()
{
    Dialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Wendrix v1.0 for TQR-7"));
    QCOMPARE(child<QLabel>(dialog, "label")->text(), QStringLiteral("Version:"));
    QCOMPARE(child<QLabel>(dialog, "label_3")->text(), QStringLiteral("Status:"));
    QCOMPARE(child<QLabel>(dialog, "label_7")->text(), QStringLiteral("Target:"));
    QCOMPARE(child<QLabel>(dialog, "label_5")->text(), QStringLiteral("Sub-Progress:"));
    QCOMPARE(child<QLabel>(dialog, "label_6")->text(), QStringLiteral("Overall Progress:"));
    QCOMPARE(child<QPushButton>(dialog, "buttonUpdate")->text(), QStringLiteral("Update"));

    // Without firmware: the warning, no link, nothing running, nothing to press.
    QCOMPARE(child<QLabel>(dialog, "labelVersion")->text(),
             QStringLiteral("!! One or more firmware files not found !!"));
    QCOMPARE(child<QLabel>(dialog, "labelStatus")->text(), QStringLiteral("Device not connected"));
    QCOMPARE(child<QLabel>(dialog, "labelTarget")->text(), QStringLiteral("---"));
    for (const char *bar : {"progressSub", "progressOverall"}) {
        QCOMPARE(child<QProgressBar>(dialog, bar)->value(), 0);
        QCOMPARE(child<QProgressBar>(dialog, bar)->minimum(), 0);
        QCOMPARE(child<QProgressBar>(dialog, bar)->maximum(), 100);
    }
    auto *complete = child<QLabel>(dialog, "labelComplete");
    QVERIFY(complete->isHidden());
    QCOMPARE(complete->text(), QStringLiteral("UPDATE COMPLETE. POWER CYCLE UNIT!!"));
    QVERIFY(!child<QPushButton>(dialog, "buttonUpdate")->isEnabled());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(!complete->isVisible());
}

void TestForm::windowFlagsAndIcon()
{
    Dialog dialog;
    // The dialog window type is replaced: a plain top-level window with the
    // fixed-size hint, to which Qt adds only its default decorations.
    QVERIFY(dialog.windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QCOMPARE(dialog.windowType(), Qt::Window);
    QVERIFY(dialog.isWindow());
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    const QIcon compiledIn(QStringLiteral(":/res/wendrix.ico"));
    QCOMPARE(compiledIn.availableSizes(), QList<QSize>({QSize(32, 32), QSize(16, 16)}));
    QCOMPARE(dialog.windowIcon().availableSizes(), compiledIn.availableSizes());
    for (int size : {16, 32})
        QCOMPARE(dialog.windowIcon().pixmap(size).toImage(), compiledIn.pixmap(size).toImage());

    QFile icon(QStringLiteral(":/res/wendrix.ico"));
    QVERIFY(icon.open(QIODevice::ReadOnly));
    QCOMPARE(icon.size(), qint64(5430));
}

void TestForm::slotTableIsTheFourPrivateSlots()
{
    const QMetaObject &meta = Dialog::staticMetaObject;
    QCOMPARE(meta.className(), "Dialog");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 4);
    const QByteArrayList expected = {"pollUsb()", "flashTimeout()", "fwupdateModeCheck()",
                                     "on_buttonUpdate_clicked()"};
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
    Dialog dialog;
    auto *button = child<QPushButton>(dialog, "buttonUpdate");
    button->setEnabled(true);
    button->click();
    QCOMPARE(log.linesStartingWith({QStringLiteral("Firmware File Error:")}).size(), 1);
    button->setEnabled(true);
    button->click();
    QCOMPARE(log.linesStartingWith({QStringLiteral("Firmware File Error:")}).size(), 2);
}

void TestForm::extraSpaceGoesToValuesAndSpacers()
{
    Dialog dialog;
    child<QLabel>(dialog, "labelComplete")->show(); // as after an update
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.resize(900, 400);
    QTRY_COMPARE_WITH_TIMEOUT(dialog.size(), QSize(900, 400), 5000);
    dialog.layout()->activate();

    const auto geometry = [&](const char *name) { return child<QWidget>(dialog, name)->geometry(); };
    QCOMPARE(geometry("buttonUpdate").right(), 900 - 11 - 1);
    QCOMPARE(geometry("buttonUpdate").bottom(), 400 - 11 - 1);
    QCOMPARE(geometry("labelComplete").left(), 11);
    for (const char *value : {"labelVersion", "labelStatus", "progressSub", "progressOverall"})
        QCOMPARE(geometry(value).right(), 900 - 11 - 1);
    QVERIFY(geometry("label").width() < 200);
    QVERIFY(geometry("progressOverall").bottom() < 200); // the free space is below the bars
}

void TestForm::escapeAndCloseEndTheEventLoopWithZero()
{
    for (bool escape : {true, false}) {
        Dialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTimer::singleShot(0, &dialog, [&] {
            if (escape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.close();
        });
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!dialog.isVisible());
    }
}

void TestForm::realExecutableExitsWithZeroOnEscape()
{
    // A real window needs a real display: Xvfb, with xdotool to press Escape.
    const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xvfbRun.isEmpty() || xdotool.isEmpty())
        QSKIP("xvfb-run and xdotool are needed to run the real executable");

    const QString script = QStringLiteral(
        "\"$1\" & pid=$!;"
        "wid=$(xdotool search --sync --onlyvisible --name 'Wendrix v1.0 for TQR-7' | head -n 1);"
        "xdotool windowfocus --sync \"$wid\"; xdotool key Escape;"
        "wait $pid");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    // The window draws nothing with GL. Left to itself, the xcb plugin loads
    // Mesa's software driver for GLX and unloads it at exit, and the leak
    // check of the sanitizer build then fails on an allocation it leaves.
    env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    process.setProcessEnvironment(env);
    process.start(xvfbRun, {QStringLiteral("-a"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                            QStringLiteral("sh"), QStringLiteral(WENDRIX_EXECUTABLE)});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
