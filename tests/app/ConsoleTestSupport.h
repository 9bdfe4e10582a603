#ifndef CONSOLETESTSUPPORT_H
#define CONSOLETESTSUPPORT_H

#include "AppFont.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QStringList>
#include <QStyleFactory>
#include <QWidget>

#include <cstdio>

// What main() does before it builds the window, so the widgets under test
// are laid out exactly as the program shows them.
inline void prepareLikeMain()
{
    std::setbuf(stdout, nullptr);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    applyApplicationFont();
}

// The visible controls of `window` that are drawn smaller than they need
// (their minimum size hint) or that stick out of their parent or the window,
// as "objectName (class): reason". Empty when everything fits.
inline QStringList clippedControls(QWidget *window)
{
    QStringList problems;
    const QRect windowRect = window->rect();
    const QList<QWidget *> all = window->findChildren<QWidget *>();
    for (QWidget *w : all) {
        const bool control = qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)
                             || qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractSpinBox *>(w)
                             || qobject_cast<QSlider *>(w);
        if (!control || !w->isVisibleTo(window))
            continue;
        // The line edit and buttons inside a combo or spin box are its own business.
        if (qobject_cast<QComboBox *>(w->parentWidget()) || qobject_cast<QAbstractSpinBox *>(w->parentWidget()))
            continue;
        const QString name = QStringLiteral("%1 (%2)").arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()));
        const QSize need = w->minimumSizeHint();
        if (w->width() < need.width() || w->height() < need.height()) {
            problems << QStringLiteral("%1: %2x%3 < %4x%5").arg(name).arg(w->width()).arg(w->height())
                            .arg(need.width()).arg(need.height());
            continue;
        }
        const QRect inParent = w->geometry();
        if (!w->parentWidget()->rect().contains(inParent)) {
            problems << QStringLiteral("%1: outside its parent").arg(name);
            continue;
        }
        const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!windowRect.contains(inWindow))
            problems << QStringLiteral("%1: outside the window").arg(name);
    }
    return problems;
}

#endif // CONSOLETESTSUPPORT_H
