#ifndef CURSORPICKER_H
#define CURSORPICKER_H

#include <qwt_picker.h>
#include <qwt_plot_picker.h>
#include <qwt_text.h>

#include <QBrush>
#include <QColor>
#include <QString>

#include <functional>
#include <utility>

// Reads the value under the mouse off a plot, as the plot words it, in a
// tracker label that follows the cursor.
class CursorPicker : public QwtPlotPicker {
public:
    CursorPicker(QWidget *canvas, std::function<QString(const QPointF &)> read)
        : QwtPlotPicker(canvas), read(std::move(read)) {
        setTrackerMode(QwtPicker::AlwaysOn);
        setRubberBand(QwtPicker::NoRubberBand);
    }

protected:
    QwtText trackerTextF(const QPointF &pos) const override {
        QwtText text(read(pos));
        text.setBackgroundBrush(QBrush(QColor(255, 255, 255, 220)));
        return text;
    }

private:
    std::function<QString(const QPointF &)> read;
};

#endif // CURSORPICKER_H
