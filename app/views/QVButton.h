// The application's flat buttons. QVButton keeps its look in its cell (corner radius, background and pressed
// colours, text colours, padding); QVBlueButton is a solid blue bar with a white title and a small icon.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QMarginsF>
#include <QRectF>
#include <QSizeF>
#include <mutex>

class QPainter;

// The look of a QVButton and its drawing and measuring. Colours and padding are read and written under a
// lock, as the design keeps them atomic.
class QVButtonCell {
  public:
    double cornerRadius() const;
    void setCornerRadius(double r);
    QColor background() const;
    void setBackground(const QColor &c);
    QColor highlightColor() const;
    void setHighlightColor(const QColor &c);
    QColor textColor() const;  // invalid: no title at rest
    void setTextColor(const QColor &c);
    QColor highlightTextColor() const;
    void setHighlightTextColor(const QColor &c);
    QMarginsF padding() const;  // left, top, right, bottom
    void setPadding(const QMarginsF &m);
    // The cell's own background colour (set together with `background` by QVButton).
    QColor backgroundColor() const;
    void setBackgroundColor(const QColor &c);

    // The bounds inset by the padding.
    QRectF titleRectForBounds(const QRectF &bounds) const;
    // A title of that measured size, plus the padding on both axes.
    QSizeF cellSizeForBounds(const QSizeF &titleSize) const;

    void drawBezelWithFrame(QPainter &p, const QRectF &frame) const;
    void drawInteriorWithFrame(QPainter &p, const QRectF &frame, const QString &title, const QFont &font,
                               bool highlighted) const;
    // Draws the title at rest with textColor; nothing while highlighted or without a text colour.
    QRectF drawTitle(QPainter &p, const QString &title, const QFont &font, const QRectF &frame,
                     bool highlighted) const;

  private:
    static void drawTitleWithColor(QPainter &p, const QString &title, const QFont &font, const QRectF &rect,
                                   const QColor &color);
    mutable std::mutex m_mu;
    double m_cornerRadius = 0;
    QColor m_background;
    QColor m_highlightColor;
    QColor m_textColor;
    QColor m_highlightTextColor;
    QColor m_backgroundColor;
    QMarginsF m_padding;
};

class QVButton : public QAbstractButton {
    Q_OBJECT
  public:
    // Created in code: the default look (radius 4, black 0.3 background and overlay, dark text, padding
    // 2/13, 13-point system font).
    explicit QVButton(QWidget *parent = nullptr);
    // Created in code with both pressed colours set to `highlightColor`.
    QVButton(const QColor &highlightColor, QWidget *parent);
    // Created from a form: a bare cell (no colours, radius 0, no padding); the owner sets the look.
    struct FromNib {};
    QVButton(FromNib, QWidget *parent);

    QVButtonCell &cell() { return m_cell; }
    const QVButtonCell &cell() const { return m_cell; }

    double cornerRadius() const { return m_cell.cornerRadius(); }
    void setCornerRadius(double r);
    QColor backgroundColor() const { return m_cell.background(); }
    void setBackgroundColor(const QColor &c);
    QColor highlightColor() const { return m_cell.highlightColor(); }
    void setHighlightColor(const QColor &c);
    QColor textColor() const { return m_cell.textColor(); }
    void setTextColor(const QColor &c);
    QColor highlightTextColor() const { return m_cell.highlightTextColor(); }
    void setHighlightTextColor(const QColor &c);
    QMarginsF padding() const { return m_cell.padding(); }
    void setPadding(const QMarginsF &m);
    bool subpixelAntialiasing() const { return m_subpixelAntialiasing; }
    void setSubpixelAntialiasing(bool on);

    // The help-button look: clear background and overlay, grey title, light grey while pressed.
    void setShowHelpButtonCss();

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent *) override;

  private:
    QVButtonCell m_cell;
    bool m_subpixelAntialiasing = false;
};

class QVBlueButton : public QAbstractButton {
    Q_OBJECT
  public:
    explicit QVBlueButton(QWidget *parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent *) override;
};

// Recolours any button's title.
void setButtonTitleColor(QAbstractButton *button, const QColor &color);
