#include "widgets/ColorButton.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcutEvent>
#include <QTimer>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quill::widgets {
namespace {

QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// Halves a value taken as an unsigned 32-bit number, as the glyph placement does.
int HalfUnsigned(int value) { return static_cast<int>(static_cast<std::uint32_t>(value) >> 1); }

// The caption as read out: "&&" is one ampersand, a single one marks the accelerator.
QString PlainCaption(const QString& caption) {
    QString plain;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == QLatin1Char('&') && ++i == caption.size()) break;
        plain += caption.at(i);
    }
    return plain;
}

// What screen readers see: a push button named by its caption, pressed while down,
// with a press action that clicks it.
class ColorButtonAccessible final : public QAccessibleWidget {
public:
    explicit ColorButtonAccessible(ColorButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return PlainCaption(Button()->Caption());
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.pressed = Button()->Down();
        return s;
    }
    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString& name) override {
        if (name != pressAction()) return QAccessibleWidget::doAction(name);
        if (Button()->isEnabled()) Button()->Click();
    }

private:
    ColorButton* Button() const { return static_cast<ColorButton*>(widget()); }
};

QAccessibleInterface* AccessibleFor(const QString&, QObject* object) {
    auto* button = dynamic_cast<ColorButton*>(object);
    return button ? new ColorButtonAccessible(button) : nullptr;
}

void Notify(QAccessibleEvent&& event) {
    if (QAccessible::isActive()) QAccessible::updateAccessibility(&event);
}

} // namespace

ColorButton::ColorButton(QWidget* parent) : QWidget(parent) {
    [[maybe_unused]] static const bool accessible = (QAccessible::installFactory(AccessibleFor), true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setMouseTracking(true);
    // Only the keyboard moves the focus here: a click leaves it where it was.
    setFocusPolicy(Qt::TabFocus);
    resize(75, 25);
    ColorsChanged();
    BuildRamp();
}

ColorButton::~ColorButton() = default;

void ColorButton::Invalidate() {
    m_canvasValid = false;
    update();
}

void ColorButton::ColorsChanged() {
    const Rgb face = ColorToRGB(m_color);
    m_highlight = Highlight(face, ContrastFactor(m_contrastHighlight));
    m_shadow = Shadow(face, ContrastFactor(m_contrastShadow));
}

void ColorButton::BuildRamp() {
    const Rgb face = ColorToRGB(m_color);
    for (int i = 0; i < 256; ++i) {
        const float k = static_cast<float>(i) / 128.0f;
        const float back = static_cast<float>(255 - i) / 128.0f;
        Rgb entry;
        if (m_gradientDirection == TGradDirection::gdDownRight)
            entry = i <= 126 ? Highlight(face, k) : Shadow(face, back);
        else entry = i <= 127 ? Shadow(face, k) : Highlight(face, back);
        m_ramp[static_cast<std::size_t>(i)] = entry;
    }
}

void ColorButton::ColorInputChanged() {
    ColorsChanged();
    if (m_gradientStyle != TGradientStyle::gsNone) BuildRamp();
    Invalidate();
}

void ColorButton::setColor(TColor value) {
    if (value == m_color) return;
    m_color = value;
    ColorInputChanged();
}

void ColorButton::setContrastHighlight(int value) {
    if (value == m_contrastHighlight || value < 0 || value >= 10) return;
    m_contrastHighlight = value;
    ColorInputChanged();
}

void ColorButton::setContrastShadow(int value) {
    if (value == m_contrastShadow || value < 0 || value >= 10) return;
    m_contrastShadow = value;
    ColorInputChanged();
}

void ColorButton::setBevelWidth(int value) {
    if (value == m_bevelWidth || value < 0 || value >= height() / 2 || value >= width() / 2) return;
    m_bevelWidth = value;
    Invalidate();
}

void ColorButton::setGradientDirection(TGradDirection value) {
    if (value == m_gradientDirection) return;
    m_gradientDirection = value;
    BuildRamp();
    Invalidate();
}

void ColorButton::setDown(bool value) {
    if (value == m_down) return;
    m_down = value;
    if (m_gradientStyle == TGradientStyle::gsNone && m_canvasValid && CanvasFits()) {
        DrawFrameAndBevel(true);
        update();
    } else {
        Invalidate();
    }
    QAccessible::State pressed;
    pressed.pressed = true;
    Notify(QAccessibleStateChangeEvent(this, pressed));
    if (OnStateChange) OnStateChange(this);
}

void ColorButton::setGlyph(const QImage& value) {
    if (value == m_glyph) return;
    m_glyph = value.convertToFormat(QImage::Format_RGB32);
    Invalidate();
}

void ColorButton::setCaption(const QString& value) {
    if (value == m_caption) return;
    m_caption = value;
    RegrabShortcut();
    Invalidate();
    Notify(QAccessibleEvent(this, QAccessible::NameChanged));
}

void ColorButton::setFontColor(TColor value) {
    if (value == m_fontColor) return;
    m_fontColor = value;
    Invalidate();
}

#define QUILL_REPAINTING_SETTER(Name, Type, member)                                                                    \
    void ColorButton::set##Name(Type value) {                                                                          \
        if (value == member) return;                                                                                   \
        member = value;                                                                                                \
        Invalidate();                                                                                                  \
    }
QUILL_REPAINTING_SETTER(BorderColor, TColor, m_borderColor)
QUILL_REPAINTING_SETTER(BorderStyle, TBorderStyle, m_borderStyle)
QUILL_REPAINTING_SETTER(Layout, TButtonLayout, m_layout)
QUILL_REPAINTING_SETTER(Margin, int, m_margin)
QUILL_REPAINTING_SETTER(Spacing, int, m_spacing)
QUILL_REPAINTING_SETTER(TopMargin, int, m_topMargin)
#undef QUILL_REPAINTING_SETTER

void ColorButton::setGradientStyle(TGradientStyle value) {
    if (value == m_gradientStyle) return;
    m_gradientStyle = value;
    // The ramp follows Color only while a gradient is shown, so it may be stale here.
    if (value != TGradientStyle::gsNone) BuildRamp();
    Invalidate();
}

void ColorButton::setNumGlyphs(int value) {
    if (value == m_numGlyphs || value < 0 || value > 4) return;
    m_numGlyphs = value;
    Invalidate();
}

void ColorButton::Click() {
    if (OnClick) OnClick(this);
}

bool ColorButton::DialogChar(QChar key) {
    const qsizetype amp = m_caption.indexOf(QLatin1Char('&'));
    if (amp < 0 || amp == m_caption.size() - 1) return false;
    if (m_caption.at(amp + 1).toUpper() != key.toUpper() || !isEnabled()) return false;
    Click();
    return true;
}

void ColorButton::RegrabShortcut() {
    if (m_shortcutId != 0) releaseShortcut(m_shortcutId);
    m_shortcutId = 0;
    const QKeySequence mnemonic = QKeySequence::mnemonic(m_caption);
    if (!mnemonic.isEmpty()) m_shortcutId = grabShortcut(mnemonic);
}

bool ColorButton::event(QEvent* e) {
    if (e->type() == QEvent::Shortcut) {
        const auto* shortcut = static_cast<QShortcutEvent*>(e);
        const QKeyCombination combination = shortcut->key()[0];
        const QChar key = QChar(static_cast<char16_t>(combination.key()));
        if (DialogChar(key)) return true;
    }
    return QWidget::event(e);
}

void ColorButton::TimerExpired() {
    if (!m_timer) return;
    m_timer->setInterval(m_timerInterval);
    if (m_down && isEnabled() && m_pressed) {
        try {
            Click();
        } catch (...) {
            m_timer->stop();
            throw;
        }
    }
}

void ColorButton::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        if (!m_grouped) m_down = false;
        Invalidate();
    } else if (e->type() == QEvent::FontChange) {
        Invalidate();
    }
}

void ColorButton::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    Invalidate();
}

void ColorButton::mousePressEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    if (OnMouseDown) OnMouseDown(this, e->button(), e->modifiers(), p.x(), p.y());
    e->accept();
    if (e->button() == Qt::LeftButton) Press();
}

void ColorButton::Press() {
    if (!isEnabled()) return;
    m_pressed = true;
    m_wasDownAtPress = m_down;
    if (!m_down) setDown(true);
    if (m_allowTimer) {
        if (!m_timer) {
            m_timer = new QTimer(this);
            QObject::connect(m_timer, &QTimer::timeout, this, [this] { TimerExpired(); });
        }
        m_timer->setInterval(m_timerDelay);
        m_timer->start();
    }
}

void ColorButton::mouseDoubleClickEvent(QMouseEvent* e) {
    // The second press of a double click presses the button like the first.
    mousePressEvent(e);
    if (e->button() == Qt::LeftButton && isEnabled() && OnDblClick) OnDblClick(this);
}

void ColorButton::mouseReleaseEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    if (OnMouseUp) OnMouseUp(this, e->button(), e->modifiers(), p.x(), p.y());
    e->accept();
    if (e->button() != Qt::LeftButton) return;
    m_keyPressed = false;
    Release();
}

void ColorButton::Release() {
    if (!isEnabled() || !m_pressed) return;
    m_pressed = false;
    if (m_down && (!m_grouped || (m_wasDownAtPress && m_allowAllUp))) setDown(false);
    if (m_timer) m_timer->stop();
    if (m_grouped && m_down && parentWidget()) {
        for (ColorButton* other : parentWidget()->findChildren<ColorButton*>(Qt::FindDirectChildrenOnly)) {
            if (other != this && other->m_grouped && other->m_groupIndex == m_groupIndex && other->m_down)
                other->setDown(false);
        }
    }
    Click();
}

void ColorButton::keyPressEvent(QKeyEvent* e) {
    const bool space = e->key() == Qt::Key_Space;
    if (!space && e->key() != Qt::Key_Return && e->key() != Qt::Key_Enter) return QWidget::keyPressEvent(e);
    e->accept();
    if (e->isAutoRepeat() || m_pressed) return;
    Press();
    // Space holds the button down until it is let go; Return clicks at once.
    if (space) m_keyPressed = m_pressed;
    else Release();
}

void ColorButton::keyReleaseEvent(QKeyEvent* e) {
    if (e->key() != Qt::Key_Space || e->isAutoRepeat() || !m_keyPressed) return QWidget::keyReleaseEvent(e);
    e->accept();
    m_keyPressed = false;
    Release();
}

void ColorButton::focusInEvent(QFocusEvent* e) {
    QWidget::focusInEvent(e);
    update();
}

void ColorButton::focusOutEvent(QFocusEvent* e) {
    QWidget::focusOutEvent(e);
    // Space held while the focus goes elsewhere lets the button up without a click.
    if (m_keyPressed) {
        m_keyPressed = m_pressed = false;
        if (m_timer) m_timer->stop();
        if (!m_wasDownAtPress) setDown(false);
    }
    update();
}

void ColorButton::mouseMoveEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    if (OnMouseMove) OnMouseMove(this, e->modifiers(), p.x(), p.y());
    e->accept();
}

void ColorButton::paintEvent(QPaintEvent*) {
    if (!m_canvasValid || !CanvasFits()) Paint();
    QPainter painter(this);
    painter.drawImage(0, 0, m_canvas);
    if (hasFocus()) DrawFocusMark(painter);
}

void ColorButton::DrawFocusMark(QPainter& painter) {
    // Every other pixel of a rectangle two pixels inside the face, moving with the face.
    const int inset = m_bevelWidth + (m_borderStyle != TBorderStyle::bsFlat ? 1 : 0) + 2;
    const int shift = m_down ? 1 : 0;
    const int left = inset + shift, top = inset + shift;
    const int right = width() - inset - 1 + shift, bottom = height() - inset - 1 + shift;
    if (right <= left || bottom <= top) return;
    const QColor colour = ToQColor(ColorToRGB(m_fontColor));
    for (int x = left; x <= right; x += 2) {
        painter.fillRect(x, top, 1, 1, colour);
        painter.fillRect(x, bottom, 1, 1, colour);
    }
    for (int y = top; y <= bottom; y += 2) {
        painter.fillRect(left, y, 1, 1, colour);
        painter.fillRect(right, y, 1, 1, colour);
    }
}

int ColorButton::Px(int logical) const {
    return static_cast<int>(std::floor(static_cast<double>(logical) * m_ratio + 0.5));
}

QSize ColorButton::DeviceSize() const { return (QSizeF(size()) * devicePixelRatioF()).toSize(); }

bool ColorButton::CanvasFits() const { return m_ratio == devicePixelRatioF() && m_canvas.size() == DeviceSize(); }

void ColorButton::Fill(int left, int top, int right, int bottom, Rgb color) {
    const QRect r = QRect(QPoint(Px(left), Px(top)), QPoint(Px(right) - 1, Px(bottom) - 1)) & m_canvas.rect();
    if (r.isEmpty()) return;
    const QRgb value = qRgb(color.r, color.g, color.b);
    for (int y = r.top(); y <= r.bottom(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(m_canvas.scanLine(y));
        for (int x = r.left(); x <= r.right(); ++x) row[x] = value;
    }
}

void ColorButton::Line(int x0, int y0, int x1, int y1, Rgb color) {
    // Bresenham from the start point up to, but not including, the end point.
    const QRgb value = qRgb(color.r, color.g, color.b);
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    while (x0 != x1 || y0 != y1) {
        Plot(x0, y0, value);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

void ColorButton::Plot(int x, int y, QRgb value) {
    if (m_ratio == 1.0) {
        if (m_canvas.valid(x, y)) reinterpret_cast<QRgb*>(m_canvas.scanLine(y))[x] = value;
        return;
    }
    const QRect r = QRect(QPoint(Px(x), Px(y)), QPoint(Px(x + 1) - 1, Px(y + 1) - 1)) & m_canvas.rect();
    for (int row = r.top(); row <= r.bottom(); ++row)
        for (int column = r.left(); column <= r.right(); ++column)
            reinterpret_cast<QRgb*>(m_canvas.scanLine(row))[column] = value;
}

void ColorButton::Paint() {
    if (!CanvasFits()) {
        // At a ratio above 1 the canvas has that many device pixels per pixel, so the
        // caption is drawn at the screen's resolution rather than scaled up.
        m_ratio = devicePixelRatioF();
        m_canvas = QImage(DeviceSize(), QImage::Format_RGB32);
        m_canvas.setDevicePixelRatio(m_ratio);
        // Pixels the button does not paint show what lies under it.
        const QColor under = parentWidget() ? parentWidget()->palette().color(parentWidget()->backgroundRole())
                                            : palette().color(QPalette::Window);
        m_canvas.fill(under);
    }
    const int inset = m_bevelWidth + (m_borderStyle != TBorderStyle::bsFlat ? 1 : 0);
    const QRect r(QPoint(inset, inset), QPoint(width() - inset - 1, height() - inset - 1));
    Fill(r.left(), r.top(), r.right() + 1, r.bottom() + 1, ColorToRGB(m_color));
    const bool gradient = m_gradientStyle != TGradientStyle::gsNone;
    if (gradient) DrawGradient();
    QRect glyph;
    if (!gradient && !m_glyph.isNull() && m_numGlyphs >= 1 && m_numGlyphs <= 4) glyph = DrawGlyph(r);
    if (!m_caption.isEmpty()) DrawCaption(r, gradient, glyph);
    DrawFrameAndBevel(false);
    m_canvasValid = true;
}

void ColorButton::DrawFrameAndBevel(bool moveContent) {
    int left = 0, top = 0, right = width(), bottom = height();
    const Rgb border = ColorToRGB(m_borderColor);
    if (m_borderStyle == TBorderStyle::bsSingle) {
        Fill(left, top, right, top + 1, border);
        Fill(left, bottom - 1, right, bottom, border);
        Fill(left, top, left + 1, bottom, border);
        Fill(right - 1, top, right, bottom, border);
        ++left, ++top, --right, --bottom;
    } else if (m_borderStyle == TBorderStyle::bsNormal) {
        const Rgb lightEdge = m_down ? border : m_highlight;
        const Rgb darkEdge = m_down ? m_highlight : border;
        Line(left, bottom - 1, left, top, lightEdge);
        Line(left, top, right - 1, top, lightEdge);
        Line(left, bottom - 1, right - 1, bottom - 1, darkEdge);
        Line(right - 1, bottom - 1, right - 1, top, darkEdge);
        ++left, ++top, --right, --bottom;
    }
    const Rgb first = m_down ? m_shadow : m_highlight;
    const Rgb second = m_down ? m_highlight : m_shadow;
    for (int n = 0; n < m_bevelWidth; ++n) {
        Line(right - n - 1, top + n, left + n, top + n, first);
        Line(left + n, top + n, left + n, bottom - n - 1, first);
    }
    for (int n = 0; n < m_bevelWidth; ++n) {
        Line(right - n - 1, top + n, right - n - 1, bottom - n - 1, second);
        Line(right - n - 1, bottom - n - 1, left + n, bottom - n - 1, second);
    }
    if (!moveContent) return;
    const int b = m_bevelWidth;
    QRect source;
    QPoint target;
    if (m_down) {
        source = QRect(QPoint(left + b, top + b), QPoint(right - b - 2, bottom - b - 2));
        target = source.topLeft() + QPoint(1, 1);
    } else {
        source = QRect(QPoint(left + b + 1, top + b + 1), QPoint(right - b - 1, bottom - b - 1));
        target = source.topLeft() - QPoint(1, 1);
    }
    if (source.isEmpty()) return;
    // Moved in device pixels: one pixel is Px(1) of them.
    const QRect from = QRect(QPoint(Px(source.left()), Px(source.top())),
                             QPoint(Px(source.right() + 1) - 1, Px(source.bottom() + 1) - 1)) &
                       m_canvas.rect();
    const QPoint by(Px(target.x()) - Px(source.x()), Px(target.y()) - Px(source.y()));
    const QRect to = from.translated(by) & m_canvas.rect();
    if (to.isEmpty()) return;
    const QImage face = m_canvas.copy(to.translated(-by));
    for (int y = 0; y < to.height(); ++y)
        std::memcpy(m_canvas.scanLine(to.top() + y) + to.left() * 4, face.constScanLine(y),
                    static_cast<std::size_t>(to.width()) * 4);
}

QRect ColorButton::DrawGlyph(const QRect& r) {
    const int right = r.right() + 1, top = r.top(), bottom = r.bottom() + 1;
    const int gw = m_glyph.width() / m_numGlyphs, gh = m_glyph.height();
    const bool caption = !m_caption.isEmpty();
    const QFontMetrics metrics(font());
    const int tw = caption ? metrics.horizontalAdvance(m_caption) : 0;
    const int th = caption ? metrics.height() : 0;

    int gx = HalfUnsigned(right - gw);
    if (caption && m_layout == TButtonLayout::blGlyphLeft) gx = HalfUnsigned(right - tw - gw - m_spacing) - m_margin;
    else if (caption && m_layout == TButtonLayout::blGlyphRight)
        gx = HalfUnsigned(tw + gw + m_spacing + right) + m_margin - gw;
    int gy = HalfUnsigned(top + bottom - gh);
    if (caption && m_layout == TButtonLayout::blGlyphTop)
        gy = HalfUnsigned(top + bottom - th - gh - m_spacing) - m_margin;
    else if (caption && m_layout == TButtonLayout::blGlyphBottom)
        gy = HalfUnsigned(top + bottom - th - gh - m_spacing) + m_margin - gh;

    int cell = 0;
    if (!isEnabled() && m_numGlyphs > 1) cell = 1;
    if (m_down && m_numGlyphs > 2) cell = 2;

    const Rgb face = ColorToRGB(m_color);
    const int dx = m_down ? gx + 1 : gx, dy = m_down ? gy + 1 : gy;
    // The bottom-left pixel's colour is transparent.
    const QRgb transparent = m_glyph.pixel(0, m_glyph.height() - 1);
    for (int y = 0; y < gh; ++y) {
        for (int x = 0; x < gw; ++x) {
            const QRgb pixel = m_glyph.pixel(cell * gw + x, y);
            if (pixel != transparent) Plot(dx + x, dy + y, pixel);
        }
    }
    // Clear the strip the other state's image left behind.
    if (m_down) {
        Fill(gx, gy, gx + 1, gy + gh + 1, face);
        Fill(gx, gy, gx + gw + 1, gy + 1, face);
    } else {
        Fill(gx + gw, gy, gx + gw + 1, gy + gh + 1, face);
        Fill(gx, gy + gh, gx + gw + 1, gy + gh + 1, face);
    }
    return QRect(gx, gy, gw, gh);
}

void ColorButton::DrawCaption(const QRect& r, bool gradient, const QRect& glyph) {
    QFont canvasFont = font();
    // One pixel per pixel: hard edges. Above that, smooth ones at the screen's resolution.
    if (m_ratio == 1.0) canvasFont.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics metrics(canvasFont);
    const int tw = metrics.horizontalAdvance(m_caption);
    const int th = metrics.height();
    const int right = r.right() + 1, top = r.top(), bottom = r.bottom() + 1;

    int x = (right - tw) / 2;
    int y = (top + bottom - th) / 2 + ((m_changeDirection && m_down) ? -m_topMargin : m_topMargin);
    if (!glyph.isNull()) {
        switch (m_layout) {
        case TButtonLayout::blGlyphRight: x = glyph.left() - tw - m_spacing; break;
        case TButtonLayout::blGlyphLeft: x = glyph.left() + glyph.width() + m_spacing; break;
        case TButtonLayout::blGlyphTop: y = glyph.top() + glyph.height() + m_spacing; break;
        case TButtonLayout::blGlyphBottom: y = glyph.top() - th - m_spacing; break;
        }
    }
    if (m_down) ++y;
    if (!gradient) {
        const Rgb face = ColorToRGB(m_color);
        if (m_down) Fill(x, y, x + tw, y + th, face);
        else Fill(x + 1, y + 1, x + tw + 1, y + th + 1, face);
    }
    QPainter painter(&m_canvas);
    painter.setFont(canvasFont);
    painter.setPen(ToQColor(ColorToRGB(isEnabled() ? m_fontColor : clGrayText)));
    painter.drawText(QRect(x, y, tw, th), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, m_caption);
}

void ColorButton::DrawGradient() {
    const int w = width(), h = height();
    const bool reversed = m_down && m_changeDirection;
    auto entry = [&](int i) { return m_ramp[static_cast<std::size_t>(reversed ? 255 - i : i)]; };
    if (m_gradientStyle == TGradientStyle::gsHorizontal || m_gradientStyle == TGradientStyle::gsVertical) {
        const bool horizontal = m_gradientStyle == TGradientStyle::gsHorizontal;
        const float f = static_cast<float>(horizontal ? w : h) / 255.0f;
        const int strip = static_cast<int>(f + 1.0f);
        for (int i = 0; i <= 255; ++i) {
            const int start = i == 0 ? 0 : static_cast<int>(static_cast<float>(i - 1) * f);
            if (horizontal) Fill(start, 0, start + strip, h, entry(i));
            else Fill(0, start, w, start + strip, entry(i));
        }
    } else if (m_gradientStyle == TGradientStyle::gsPyramid) {
        const double s = 255.0 / (w + h);
        const int cx = w / 2, cy = h / 2;
        auto at = [&](int v) { return entry(std::min(255, static_cast<int>(v * s))); };
        for (int i = 0; i <= w; ++i) {
            Line(i, 0, cx, cy, at(i));
            Line(cx, cy, i, h - 1, at(i + h));
        }
        for (int i = 0; i <= h; ++i) {
            Line(w - 1, i, cx, cy, at(i + w));
            Line(cx, cy, 0, i, at(i));
        }
    }
}

} // namespace quill::widgets
