#include "ui/paint_geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace nyra::ui {
namespace {

float clampPercent(float percent) { return std::clamp(percent, 0.0f, 100.0f); }

float uniform(std::mt19937& random, double low, double high) {
    return static_cast<float>(std::uniform_real_distribution<double>(low, high)(random));
}

}  // namespace

double animationSeconds(std::uint64_t nowMs) { return static_cast<double>(nowMs) / 1000.0; }

Fill splashBarFill(const Box& bar, float percent, bool indeterminate, std::uint64_t nowMs) {
    Fill fill;
    fill.left = bar.x;
    fill.width = bar.w * clampPercent(percent) / 100.0f;
    if (indeterminate) {
        fill.width = 0.24f * bar.w;
        const double phase = static_cast<double>(nowMs % 2200) / 2200.0;
        fill.left = bar.x + static_cast<float>((bar.w - fill.width) * phase);
    }
    fill.visible = fill.width >= bar.h;
    return fill;
}

Box statusBarInner(const Box& bar) { return {bar.x + 3, bar.y + 3, bar.w - 6, bar.h - 6}; }

Fill statusBarFill(const Box& bar, float percent, bool indeterminate, std::uint64_t nowMs) {
    const Box inner = statusBarInner(bar);
    Fill fill;
    fill.left = inner.x;
    fill.width = inner.w * clampPercent(percent) / 100.0f;
    if (indeterminate) {
        const double t = static_cast<double>(nowMs % 600000) / 1000.0;
        fill.width = 0.26f * inner.w;
        const double swing = (1.0 - std::cos(2.0 * std::numbers::pi * t / 2.4)) / 2.0;
        fill.left = inner.x + static_cast<float>((inner.w - fill.width) * swing);
    }
    fill.visible = fill.width >= inner.h;
    return fill;
}

float statusSheenLeft(const Fill& fill, std::uint64_t nowMs) {
    const double t = static_cast<double>(nowMs % 600000) / 1000.0;
    const double travel = std::fmod(230.0 * t, static_cast<double>(fill.width) + 140.0);
    return fill.left - 70.0f + static_cast<float>(travel);
}

float caretX(float fieldX, float fieldWidth, float textWidth, bool hasInlineButton) {
    const float limit = hasInlineButton ? fieldWidth - 64 : fieldWidth - 18;
    return fieldX + std::min(textWidth + 14, limit);
}

float edgeFade(float distance, float width) {
    if (width <= 0) return 1;
    const float t = std::clamp(distance / width, 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

FieldText fieldText(const Box& field, float textWidth, bool hasInlineButton) {
    const float width = std::max(textWidth, 0.0f);
    FieldText text;
    text.caret = caretX(field.x, field.w, width, hasInlineButton);
    text.textLeft = text.caret - width;
    // From the padding to the caret limit, with 2 px either side for the ink of the first and last
    // glyph; the inline button's label and the rounded border stay clear of it.
    const float left = field.x + 12;
    const float right = caretX(field.x, field.w, 1e9f, hasInlineButton) + 2;
    text.clip = {left, field.y, right - left, field.h};
    return text;
}

Star skyStar(int k, float cardX, float cardY, double t) {
    Star star;
    const double kd = k;
    star.x = cardX + 22 + static_cast<float>((29 + 137 * k) % 1017);
    star.y = cardY + 26 + static_cast<float>((17 + 89 * k) % 455) +
             static_cast<float>(3.0 * std::sin(1.71 * kd + 0.18 * t));
    const double wave = std::sin(((k % 5) * 0.09 + 0.55) * t + 2.4 * kd) * 0.5 + 0.5;
    star.alpha = static_cast<int>(wave * 94 + 22);
    star.cross = k % 9 == 0;
    star.radius = star.cross ? 1.5f : 0.8f;
    return star;
}

ShootingStars::ShootingStars(std::uint32_t seed) : random_(seed) {}

void ShootingStars::advance(std::uint64_t nowMs, float cardX, float cardY, float skyRight) {
    double elapsed = 0;
    if (started_ && nowMs > previousMs_) elapsed = static_cast<double>(nowMs - previousMs_) / 1000.0;
    elapsed = std::clamp(elapsed, 0.0, 0.1);
    previousMs_ = nowMs;
    started_ = true;

    countdown_ -= elapsed;
    if (countdown_ <= 0 && live_.size() < kMaxLive) {
        ShootingStar star;
        star.x = uniform(random_, cardX + 120.0, skyRight + 120.0);
        star.y = uniform(random_, cardY + 10.0, cardY + 330.0);
        star.speed = uniform(random_, 200, 420);
        star.length = uniform(random_, 42, 105);
        star.lifetime = uniform(random_, 0.9, 1.8);
        star.slope = uniform(random_, 0.32, 0.72);
        star.blue = uniform(random_, 0, 1) > 0.65f;
        live_.push_back(star);
        countdown_ = uniform(random_, 0.16, 0.58);
    }
    for (auto& star : live_) star.age += static_cast<float>(elapsed);
}

void ShootingStars::prune() {
    std::erase_if(live_, [](const ShootingStar& star) { return !visible(star); });
}

void ShootingStars::head(const ShootingStar& star, float& x, float& y) {
    x = star.x - star.age * star.speed;
    y = star.y + star.slope * star.speed * star.age;
}

float ShootingStars::brightness(const ShootingStar& star) {
    if (star.lifetime <= 0) return 0;
    return static_cast<float>(std::sin(std::numbers::pi * star.age / star.lifetime));
}

TrailSegment ShootingStars::segment(const ShootingStar& star, int n) {
    float hx = 0, hy = 0;
    head(star, hx, hy);
    const float step = star.length / kSegments;
    const auto nf = static_cast<float>(n);
    TrailSegment segment;
    segment.x1 = hx + nf * step;
    segment.y1 = hy - star.slope * nf * step;
    segment.x2 = hx + (nf + 1) * step;
    segment.y2 = hy - star.slope * (nf + 1) * step;
    const float fade = 1.0f - nf / kSegments;
    segment.alpha = std::max(0, static_cast<int>(fade * brightness(star) * 185));
    segment.width = n <= 1 ? 1.9f : 1.1f;
    return segment;
}

std::vector<PagerPill> newsPager(int count, int current) {
    std::vector<PagerPill> pills;
    if (count <= 1) return pills;
    float x = 566;
    for (int i = 0; i < count; ++i) {
        PagerPill pill;
        pill.current = i == current;
        pill.x = x;
        pill.width = pill.current ? 18.0f : 7.0f;
        pills.push_back(pill);
        x += pill.width + 6;
    }
    return pills;
}

float badgeWidth(std::size_t labelLength) { return 7.2f * static_cast<float>(labelLength) + 12.0f; }

float coverFade(std::uint64_t nowMs, std::uint64_t rotatedMs) {
    if (nowMs <= rotatedMs) return 0.0f;
    return std::min(1.0f, static_cast<float>(nowMs - rotatedMs) / 350.0f);
}

Box coverSource(float pictureWidth, float pictureHeight, float boxWidth, float boxHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return {};
    const float scale = std::max(boxWidth / pictureWidth, boxHeight / pictureHeight);
    const float w = boxWidth / scale;
    const float h = boxHeight / scale;
    return {(pictureWidth - w) / 2, (pictureHeight - h) / 2, w, h};
}

}  // namespace nyra::ui
