#ifndef E2EHELPERS_H
#define E2EHELPERS_H

// Helpers for the end-to-end tests: they find the program's widgets the way a
// user does (by menu texts, button texts and form labels) and answer modal
// dialogs that would otherwise block the test.

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>

struct ModalRecord {
    QString type; // "message", "file", "dialog"
    QString title;
    QString text;
};

// Watches for modal windows and answers them: message boxes get the button
// chosen by `message_answer` (default: the first button), file dialogs get
// `save_name`, any other dialog is accepted.
class ModalAnswerer : public QObject {
public:
    explicit ModalAnswerer(QObject *parent = nullptr) : QObject(parent) {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start();
    }

    QList<ModalRecord> seen;
    QString save_name; // empty: cancel file dialogs
    QMessageBox::StandardButton message_answer = QMessageBox::NoButton;
    std::function<void(QWidget *)> on_dialog; // for other dialogs; default accept

    QList<ModalRecord> take() {
        QList<ModalRecord> out = seen;
        seen.clear();
        return out;
    }

private:
    void poll() {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            seen.append({"message", box->windowTitle(), box->text()});
            QAbstractButton *button =
                message_answer != QMessageBox::NoButton ? box->button(message_answer) : nullptr;
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().first();
            if (button)
                button->click();
            else
                box->reject();
            return;
        }
        if (auto *fd = qobject_cast<QFileDialog *>(w)) {
            answer_file_dialog(fd);
            return;
        }
        if (auto *dlg = qobject_cast<QDialog *>(w)) {
            seen.append({"dialog", dlg->windowTitle(), QString()});
            if (on_dialog)
                on_dialog(dlg);
            else
                dlg->accept();
        }
    }

    // Types the whole path into the dialog's name field and accepts, as a
    // user would. A dialog that refuses the name stays open and is tried
    // again at the next poll; after two seconds it is cancelled, which fails
    // the test rather than hanging it.
    void answer_file_dialog(QFileDialog *fd) {
        auto *name_field = fd->findChild<QLineEdit *>("fileNameEdit");
        if (save_name.isEmpty() || !name_field || ++file_attempts > 200) {
            seen.append({save_name.isEmpty() ? "file" : "file dialog refused the name",
                         fd->windowTitle(), save_name});
            file_attempts = 0;
            fd->reject();
            return;
        }
        name_field->setText(QFileInfo(save_name).absoluteFilePath());
        static_cast<QDialog *>(fd)->accept(); // protected in QFileDialog
        if (!fd->isVisible()) {
            seen.append({"file", fd->windowTitle(), save_name});
            file_attempts = 0;
        }
    }

    int file_attempts = 0;
    QTimer timer;
};

inline QAction *find_action(QWidget *window, const QString &text) {
    for (QAction *a : window->findChildren<QAction *>())
        if (a->text() == text)
            return a;
    return nullptr;
}

inline QPushButton *find_button(QWidget *panel, const QString &text) {
    for (QPushButton *b : panel->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

// The field of the form row whose label reads `label`.
template <typename T> T *form_field(QWidget *panel, const QString &label) {
    for (QFormLayout *form : panel->findChildren<QFormLayout *>()) {
        for (int row = 0; row < form->rowCount(); ++row) {
            QLayoutItem *l = form->itemAt(row, QFormLayout::LabelRole);
            QLayoutItem *f = form->itemAt(row, QFormLayout::FieldRole);
            auto *lab = l ? qobject_cast<QLabel *>(l->widget()) : nullptr;
            if (lab && lab->text() == label && f && f->widget())
                return qobject_cast<T *>(f->widget());
        }
    }
    return nullptr;
}

template <typename T> T *find_top_level(const QString &class_name) {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->inherits(class_name.toLatin1().constData()))
            if (auto *t = qobject_cast<T *>(w))
                return t;
    return nullptr;
}

#endif // E2EHELPERS_H
