#pragma once

#include <QImage>
#include <QWidget>

namespace pacs {
namespace toolkit {
class ToolkitImageList;
}

// DicomViewer1: the first image of the main viewer's list, scaled to fit
// with its aspect kept. refresh() renders it again after the list changed;
// an image it cannot render leaves the view empty.
class DicomViewerWidget : public QWidget
{
    Q_OBJECT
public:
    explicit DicomViewerWidget(toolkit::ToolkitImageList &images, QWidget *parent = nullptr);

    const QImage &frame() const { return m_frame; }
    QSize sizeHint() const override { return QSize(320, 320); }

public slots:
    void refresh();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    toolkit::ToolkitImageList &m_images;
    QImage m_frame;
};

} // namespace pacs
