#pragma once
// The arithmetic behind the animated and measured parts of a frame: progress fills, the caret,
// the twinkling stars and the shooting stars. Kept apart from GDI+ so that it can be checked
// without a window.
#include <cstdint>
#include <random>
#include <vector>

namespace nyra::ui {

struct Box {
    float x = 0, y = 0, w = 0, h = 0;
};

// Milliseconds since boot taken as seconds for the animations.
double animationSeconds(std::uint64_t nowMs);

// The splash bar's fill: left edge and width; nothing is drawn when the width is below the height.
struct Fill {
    float left = 0;
    float width = 0;
    bool visible = false;
};
Fill splashBarFill(const Box& bar, float percent, bool indeterminate, std::uint64_t nowMs);

// The status panel bar's fill inside its inner area (bar inset by 3 on every side).
Box statusBarInner(const Box& bar);
Fill statusBarFill(const Box& bar, float percent, bool indeterminate, std::uint64_t nowMs);
// Left edge of the moving sheen band (70 wide) for a fill; sweeps right at 230 px/s.
float statusSheenLeft(const Fill& fill, std::uint64_t nowMs);

// Caret x for a text field: never past w - 18 (w - 64 with an inline button).
float caretX(float fieldX, float fieldWidth, float textWidth, bool hasInlineButton);

// Where a text field draws its text. The text starts 14 px inside the field; one longer than the
// room up to the caret limit scrolls left so that its end, where the caret stands, stays in view.
// Everything is drawn clipped to the text area, so nothing reaches the inline button or beyond
// the field.
struct FieldText {
    float textLeft = 0;   // x of the first character (scrolled left for a long text)
    float caret = 0;      // x of the caret: the end of the text
    Box clip;             // the text area
};
FieldText fieldText(const Box& field, float textWidth, bool hasInlineButton);

// How much of a picture is kept `distance` logical pixels inside an edge that fades out over
// `width`: nothing at the edge, all of it from `width` inwards, and a smooth ramp between (no
// visible band where the fade starts or ends). A width of 0 keeps everything.
float edgeFade(float distance, float width);

// One of the 84 background stars at time t (seconds).
struct Star {
    float x = 0, y = 0;
    int alpha = 0;
    float radius = 0;
    bool cross = false;  // every ninth star also gets a cross of light
};
inline constexpr int kStarCount = 84;
Star skyStar(int k, float cardX, float cardY, double t);

// Shooting stars: spawned at random inside the sky, moving left and down.
struct ShootingStar {
    float x = 0, y = 0, speed = 0, length = 0;
    float age = 0, lifetime = 0, slope = 0;
    bool blue = false;
};

struct TrailSegment {
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int alpha = 0;
    float width = 0;
};

class ShootingStars {
public:
    static constexpr std::size_t kMaxLive = 14;
    static constexpr int kSegments = 18;

    explicit ShootingStars(std::uint32_t seed);

    // Advances the clock to nowMs (the step is clamped to [0, 0.1] s), spawns when the countdown
    // runs out and ages the live ones. skyLeft/skyRight/skyTop bound the spawn area.
    void advance(std::uint64_t nowMs, float cardX, float cardY, float skyRight);
    // Drops those that reached their lifetime; call after drawing.
    void prune();

    const std::vector<ShootingStar>& live() const { return live_; }
    static bool visible(const ShootingStar& star) { return star.age < star.lifetime; }
    static void head(const ShootingStar& star, float& x, float& y);
    static float brightness(const ShootingStar& star);
    static TrailSegment segment(const ShootingStar& star, int n);

private:
    std::mt19937 random_;
    std::vector<ShootingStar> live_;
    double countdown_ = 0;
    std::uint64_t previousMs_ = 0;
    bool started_ = false;
};

// News panel pager: one pill per item, the current one long and gold.
struct PagerPill {
    float x = 0, width = 0;
    bool current = false;
};
std::vector<PagerPill> newsPager(int count, int current);

// Category badge width for a label of n characters.
float badgeWidth(std::size_t labelLength);

// Opacity of the featured cover fading in over 350 ms after a rotation.
float coverFade(std::uint64_t nowMs, std::uint64_t rotatedMs);

// The part of a picture that covers a box: the centred source rectangle.
Box coverSource(float pictureWidth, float pictureHeight, float boxWidth, float boxHeight);

}  // namespace nyra::ui
