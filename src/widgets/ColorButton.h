#pragma once

#include "widgets/ColorMath.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <functional>

class QPainter;
class QTimer;

namespace quill::widgets {

enum class TBorderStyle { bsFlat, bsNormal, bsSingle };
enum class TGradDirection { gdDownRight, gdUpLeft };
enum class TGradientStyle { gsNone, gsHorizontal, gsPyramid, gsVertical };
enum class TButtonLayout { blGlyphBottom, blGlyphLeft, blGlyphRight, blGlyphTop };

// A flat push button in a colour of the owner's choosing, with a bevel whose light and
// dark colours come from that colour. It paints into an image of its own at the screen's
// device pixel ratio; pressing and releasing redraw only the frame and bevel and move the
// face by one pixel, so there is no flicker and no background erase. Assigning the
// current value to a property does nothing, so owners may assign Color on every mouse move.
// Tab reaches it (a dotted mark in the caption's colour shows the focus), Space and Return
// press it, and screen readers see a push button named by its caption.
class ColorButton : public QWidget {
public:
    using NotifyEvent = std::function<void(ColorButton*)>;
    using MouseEvent = std::function<void(ColorButton*, Qt::MouseButton, Qt::KeyboardModifiers, int x, int y)>;
    using MouseMoveEvent = std::function<void(ColorButton*, Qt::KeyboardModifiers, int x, int y)>;

    explicit ColorButton(QWidget* parent = nullptr);
    ~ColorButton() override;

    bool AllowAllUp() const { return m_allowAllUp; }
    void setAllowAllUp(bool value) { m_allowAllUp = value; }
    bool AllowTimer() const { return m_allowTimer; }
    void setAllowTimer(bool value) { m_allowTimer = value; }
    int BevelWidth() const { return m_bevelWidth; }
    void setBevelWidth(int value);
    TColor BorderColor() const { return m_borderColor; }
    void setBorderColor(TColor value);
    TBorderStyle BorderStyle() const { return m_borderStyle; }
    void setBorderStyle(TBorderStyle value);
    const QString& Caption() const { return m_caption; }
    void setCaption(const QString& value);
    bool ChangeDirection() const { return m_changeDirection; }
    void setChangeDirection(bool value) { m_changeDirection = value; }
    TColor Color() const { return m_color; }
    void setColor(TColor value);
    int ContrastHighlight() const { return m_contrastHighlight; }
    void setContrastHighlight(int value);
    int ContrastShadow() const { return m_contrastShadow; }
    void setContrastShadow(int value);
    bool Down() const { return m_down; }
    void setDown(bool value);
    TColor FontColor() const { return m_fontColor; }
    void setFontColor(TColor value);
    const QImage& Glyph() const { return m_glyph; }
    void setGlyph(const QImage& value);
    TGradDirection GradientDirection() const { return m_gradientDirection; }
    void setGradientDirection(TGradDirection value);
    TGradientStyle GradientStyle() const { return m_gradientStyle; }
    void setGradientStyle(TGradientStyle value);
    bool Grouped() const { return m_grouped; }
    void setGrouped(bool value) { m_grouped = value; }
    int GroupIndex() const { return m_groupIndex; }
    void setGroupIndex(int value) { m_groupIndex = value; }
    TButtonLayout Layout() const { return m_layout; }
    void setLayout(TButtonLayout value);
    int Margin() const { return m_margin; }
    void setMargin(int value);
    int NumGlyphs() const { return m_numGlyphs; }
    void setNumGlyphs(int value);
    int Spacing() const { return m_spacing; }
    void setSpacing(int value);
    std::uint16_t TimerDelay() const { return m_timerDelay; }
    void setTimerDelay(std::uint16_t value) { m_timerDelay = value; }
    std::uint16_t TimerInterval() const { return m_timerInterval; }
    void setTimerInterval(std::uint16_t value) { m_timerInterval = value; }
    int TopMargin() const { return m_topMargin; }
    void setTopMargin(int value);

    NotifyEvent OnClick;
    NotifyEvent OnStateChange;
    NotifyEvent OnDblClick;
    MouseEvent OnMouseDown;
    MouseEvent OnMouseUp;
    MouseMoveEvent OnMouseMove;

    // The derived bevel colours.
    Rgb HighlightColor() const { return m_highlight; }
    Rgb ShadowColor() const { return m_shadow; }
    // Entry i of the gradient ramp.
    Rgb RampEntry(int i) const { return m_ramp[static_cast<std::size_t>(i)]; }

    // Fires the click event.
    void Click();
    // An Alt+key accelerator; true when it was this button's and handled.
    bool DialogChar(QChar key);
    // One tick of the auto-repeat timer.
    void TimerExpired();

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    void Invalidate();
    void ColorsChanged();
    // Color or a contrast changed: new bevel colours, the ramp if shown, a repaint.
    void ColorInputChanged();
    void BuildRamp();
    void Paint();
    void DrawFrameAndBevel(bool moveContent);
    void DrawCaption(const QRect& r, bool gradient, const QRect& glyph);
    QRect DrawGlyph(const QRect& r);
    void DrawGradient();
    void RegrabShortcut();
    // A press and its release, by the left mouse button or by the keyboard.
    void Press();
    void Release();
    void DrawFocusMark(QPainter& painter);
    // The canvas in device pixels at the ratio the button is shown at.
    QSize DeviceSize() const;
    bool CanvasFits() const;
    // A logical coordinate in device pixels of the canvas.
    int Px(int logical) const;

    // Drawing on the canvas: rectangles with exclusive right and bottom, lines that
    // leave out their end point.
    void Fill(int left, int top, int right, int bottom, Rgb color);
    void Line(int x0, int y0, int x1, int y1, Rgb color);
    // One logical pixel.
    void Plot(int x, int y, QRgb value);

    bool m_allowAllUp = false;
    bool m_allowTimer = false;
    int m_bevelWidth = 1;
    TColor m_borderColor = clBlack;
    TBorderStyle m_borderStyle = TBorderStyle::bsNormal;
    QString m_caption;
    bool m_changeDirection = false;
    TColor m_color = clBtnFace;
    int m_contrastHighlight = 5;
    int m_contrastShadow = 6;
    bool m_down = false;
    TColor m_fontColor = clWindowText;
    QImage m_glyph;
    TGradDirection m_gradientDirection = TGradDirection::gdDownRight;
    TGradientStyle m_gradientStyle = TGradientStyle::gsNone;
    bool m_grouped = false;
    int m_groupIndex = 0;
    TButtonLayout m_layout = TButtonLayout::blGlyphLeft;
    int m_margin = 1;
    int m_numGlyphs = 0;
    int m_spacing = 1;
    std::uint16_t m_timerDelay = 400;
    std::uint16_t m_timerInterval = 100;
    int m_topMargin = 0;

    Rgb m_highlight;
    Rgb m_shadow;
    std::array<Rgb, 256> m_ramp{};
    bool m_wasDownAtPress = false;
    bool m_pressed = false;    // holds the mouse from a left press to its release
    bool m_keyPressed = false; // Space is held down on the button
    QTimer* m_timer = nullptr;
    int m_shortcutId = 0;

    QImage m_canvas;
    qreal m_ratio = 1.0; // the device pixel ratio the canvas is painted at
    bool m_canvasValid = false;
};

} // namespace quill::widgets
