#include "app/windows/DicomViewerWidget.h"

#include "dicom/toolkit/ToolkitImageList.h"
#include "dicom/toolkit/viewer/ToolkitViewer.h"

#include <QPainter>

namespace pacs {

DicomViewerWidget::DicomViewerWidget(toolkit::ToolkitImageList &images, QWidget *parent)
    : QWidget(parent), m_images(images)
{
    setMinimumSize(64, 64);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    refresh();
}

void DicomViewerWidget::refresh()
{
    // Rendered once per change, not per paint: decoding a frame costs more than scaling it.
    m_frame = toolkit::ToolkitViewer::renderFrame(m_images.listItem(1));
    update();
}

void DicomViewerWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (m_frame.isNull())
        return;
    const QSize fitted = m_frame.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, m_frame);
}

} // namespace pacs
