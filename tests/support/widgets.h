// SPDX-License-Identifier: MIT
#ifndef WIDGETS_H
#define WIDGETS_H

// The dialog's widgets by their object names: the one way the tests, the
// fuzzers and the tools reach the window. Header-only, so that the watcher
// preloaded into the real program uses it too.

#include <QLabel>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>

template<typename T> T *widget(const QObject &dialog, const char *name)
{
    T *found = dialog.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

// The widgets whose state changes: what is read, and the one that is pressed.
struct DialogWidgets
{
    explicit DialogWidgets(const QObject &dialog)
        : button(widget<QPushButton>(dialog, "buttonUpdate"))
        , version(widget<QLabel>(dialog, "labelVersion"))
        , status(widget<QLabel>(dialog, "labelStatus"))
        , target(widget<QLabel>(dialog, "labelTarget"))
        , complete(widget<QLabel>(dialog, "labelComplete"))
        , sub(widget<QProgressBar>(dialog, "progressSub"))
        , overall(widget<QProgressBar>(dialog, "progressOverall"))
    { }

    bool found() const { return button && version && status && target && complete && sub && overall; }

    QPushButton *const button;
    QLabel *const version, *const status, *const target, *const complete;
    QProgressBar *const sub, *const overall;
};

#endif // WIDGETS_H
