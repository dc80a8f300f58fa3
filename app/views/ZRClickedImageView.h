// An image view that acts as a button: a mouse press inside it sends its action with itself as the sender;
// no highlight; nothing is sent without an action.
#pragma once

#include <QPixmap>
#include <QWidget>
#include <functional>

class ZRClickedImageView : public QWidget {
    Q_OBJECT
  public:
    using Action = std::function<void(ZRClickedImageView *sender)>;
    explicit ZRClickedImageView(QWidget *parent = nullptr);

    void setImage(const QPixmap &image);
    QPixmap image() const { return m_image; }
    // The image's resource name, when it came from one.
    void setImageName(const QString &name);
    QString imageName() const { return m_imageName; }
    void setAction(Action action) { m_action = std::move(action); }
    bool hasAction() const { return static_cast<bool>(m_action); }

  Q_SIGNALS:
    void clicked(ZRClickedImageView *sender);

  protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *) override;

  private:
    QPixmap m_image;
    QString m_imageName;
    Action m_action;
};
