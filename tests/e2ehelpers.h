#ifndef E2EHELPERS_H
#define E2EHELPERS_H

// Helpers for tests that drive windows as a user does, finding widgets by their texts.

#include <QtWidgets>
template <typename T> T *find_text(QWidget *parent, const QString &text) {
    for (T *item : parent->findChildren<T *>())
        if (item->text() == text)
            return item;
    return nullptr;
}

// A visible top-level window with this title or of this class.
inline QWidget *find_window(const QString &name) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && (w->windowTitle() == name || w->inherits(qPrintable(name))))
            return w;
    return nullptr;
}

// The field of the form row whose label reads `label`.
template <typename T> T *form_field(QWidget *panel, const QString &label) {
    QLabel *text = find_text<QLabel>(panel, label);
    for (QFormLayout *form : panel->findChildren<QFormLayout *>())
        for (T *field : panel->findChildren<T *>())
            if (text && form->labelForField(field) == text)
                return field;
    return nullptr;
}

#endif // E2EHELPERS_H
