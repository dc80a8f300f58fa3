// The date cell of the file tables: shows a date text and tells its delegate when the mouse enters or
// leaves it, so that the row can show its hover buttons; silent for public-space and selected rows.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QVariant>
#include <QWidget>

struct QVFileDateCellMouseTrackingDelegate {
    virtual ~QVFileDateCellMouseTrackingDelegate() = default;
    virtual bool respondsToMouseTracking() const { return true; }
    virtual void qvFileDateCellMouseTrackingDelegate(bool inside, uint64_t withRow) = 0;
};

struct QVFilesDateMouseDelegateFlags {
    unsigned qvFilesDateMouseInOrOut : 1;
};

class QVFileDateCell : public QWidget {
    Q_OBJECT
  public:
    explicit QVFileDateCell(QWidget *parent = nullptr);

    void setObjectValue(const QVariant &value);  // none: the empty text
    QLabel *textField() const { return m_textField; }
    void setTrackingDelegate(QVFileDateCellMouseTrackingDelegate *delegate);
    QVFileDateCellMouseTrackingDelegate *trackingDelegate() const;
    uint64_t currentRow() const { return m_currentRow; }
    void setCurrentRow(uint64_t row) { m_currentRow = row; }
    bool isPublicCell() const { return m_isPublicCell; }
    void setIsPublicCell(bool on) { m_isPublicCell = on; }
    bool isSelected() const { return m_isSelected; }
    void setIsSelected(bool on) { m_isSelected = on; }
    QColor originalColor() const { return m_originalColor; }
    void setOriginalColor(const QColor &c) { m_originalColor = c; }
    QVFilesDateMouseDelegateFlags filesDateMouseDelegateFlags() const { return m_flags; }
    void setFilesDateMouseDelegateFlags(QVFilesDateMouseDelegateFlags f) { m_flags = f; }
    void shouldShowMouseTrackingWithInOrOut(bool) {}

  protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

  private:
    void report(bool inside);
    QLabel *m_textField;
    QVFileDateCellMouseTrackingDelegate *m_delegate = nullptr;
    QPointer<QObject> m_delegateGuard;
    bool m_delegateIsObject = false;
    QVFilesDateMouseDelegateFlags m_flags{0};
    uint64_t m_currentRow = 0;
    bool m_isPublicCell = false;
    bool m_isSelected = false;
    QColor m_originalColor;
};
