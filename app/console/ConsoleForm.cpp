#include "ConsoleForm.h"

#include <algorithm>
#include <cstdio>

#include "MainForm.h"
#include "RunEvents.h"

namespace console {

namespace {
constexpr int kBarWidth = 30;

std::string ResendsText(std::uint32_t resends) {
  return std::to_string(resends) + (resends == 1 ? " resend" : " resends");
}
// The rate is not worth an estimate before the bar has moved for a second.
constexpr auto kEstimateAfter = std::chrono::seconds(1);
}  // namespace

// ---- ConsoleScreen ----------------------------------------------------------------

void ConsoleScreen::EndProgressLine() {
  if (drawn_.empty()) return;
  o_.out << '\n' << std::flush;
  drawn_.clear();
}

std::string ConsoleScreen::Stamp() const {
  if (o_.terminal) return {};
  const double seconds = std::chrono::duration<double>(o_.now() - begun_).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%8.3f] ", std::max(0.0, seconds));
  return stamp;
}

void ConsoleScreen::StatusLine(const std::string& text) {
  if (o_.observer) o_.observer->Status(text);
  Line(text);
}

void ConsoleScreen::Line(const std::string& text) {
  EndProgressLine();
  o_.out << Stamp() << text << '\n' << std::flush;
}

void ConsoleScreen::Box(const std::string& caption, const std::string& text) {
  if (o_.observer) o_.observer->Box(caption, text);
  EndProgressLine();
  o_.err << caption << ": " << text << '\n' << std::flush;
}

void ConsoleScreen::UnwrittenRecord(const std::string& why, const std::string& record) {
  if (o_.observer) o_.observer->UnwrittenRecord(why, record);
}

void ConsoleScreen::Error(const std::string& text) {
  EndProgressLine();
  o_.err << text << '\n' << std::flush;
}

std::string ConsoleScreen::FormatDuration(std::chrono::seconds left) {
  const long long total = std::max<long long>(0, left.count());
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string ConsoleScreen::RenderProgressLine(int percent, std::string_view timeLeft,
                                              std::uint32_t resends, int columns) {
  percent = std::clamp(percent, 0, 100);
  char number[8];
  std::snprintf(number, sizeof number, "%3d%%", percent);
  std::string tail = number;
  tail += "  ";
  tail += timeLeft;
  tail += " left";
  if (resends > 0) tail += "  " + ResendsText(resends);
  const int width = (columns > 0 ? columns : 80) - 1;
  // "[" bar "] " before the tail; a bar of fewer than 5 is no bar.
  const int bar = std::min(kBarWidth, width - static_cast<int>(tail.size()) - 3);
  if (bar < 5) return tail.substr(0, static_cast<std::size_t>(std::max(width, 0)));
  const int filled = percent * bar / 100;
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(bar - filled), '.');
  line += "] ";
  line += tail;
  return line;
}

void ConsoleScreen::Progress(std::int32_t min, std::int32_t max, std::int32_t position) {
  if (o_.observer) o_.observer->Progress(min, max, position);
  if (position <= min) {
    // Back to empty: the run of the bar is over (the closing commands, or a
    // failure); what was drawn stays.
    EndProgressLine();
    active_ = false;
    lastPercent_ = -1;
    return;
  }
  const auto now = o_.now();
  if (!active_) {
    active_ = true;
    started_ = now;
    startPosition_ = position;
  }
  const long long span = static_cast<long long>(max) - min;
  const int percent =
      span > 0 ? static_cast<int>((static_cast<long long>(position) - min) * 100 / span) : 100;

  const std::uint32_t resends = resends_ ? resends_() : 0;
  if (!o_.terminal) {
    if (percent != lastPercent_) {
      o_.out << Stamp() << percent << '%';
      if (resends > 0) o_.out << "  " << ResendsText(resends);
      o_.out << '\n' << std::flush;
    }
    lastPercent_ = percent;
    return;
  }

  std::string left = "--:--";
  const auto elapsed = now - started_;
  const long long done = static_cast<long long>(position) - startPosition_;
  if (elapsed >= kEstimateAfter && done > 0) {
    const double seconds = std::chrono::duration<double>(elapsed).count() *
                           static_cast<double>(std::max<long long>(0, max - position)) /
                           static_cast<double>(done);
    left = FormatDuration(std::chrono::seconds(static_cast<long long>(seconds + 0.5)));
  }
  std::string line = RenderProgressLine(percent, left, resends, o_.columns ? o_.columns() : 0);
  if (line == drawn_) return;
  std::string shown(1, '\r');
  shown += line;
  // A shorter line must not leave the end of the longer one standing.
  if (drawn_.size() > line.size()) shown += std::string(drawn_.size() - line.size(), ' ');
  o_.out << shown << std::flush;
  drawn_ = std::move(line);
  lastPercent_ = percent;
}

// ---- Controls ---------------------------------------------------------------------

void ConsoleButton::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (OnEnabledChanged) OnEnabledChanged(enabled);
}

void ConsoleButton::Click() {
  if (enabled_ && OnClick) OnClick(this);
}

void ConsoleProgressBar::SetMin(std::int32_t value) {
  min_ = value;
  Show();
}

void ConsoleProgressBar::SetMax(std::int32_t value) {
  max_ = value;
  Show();
}

void ConsoleProgressBar::SetPosition(std::int32_t value) {
  // Held at the nearer end of the range, as a bar shows it.
  position_ = std::clamp(value, min_, std::max(min_, max_));
  Show();
}

void ConsoleProgressBar::Show() {
  position_ = std::clamp(position_, min_, std::max(min_, max_));
  screen_.Progress(min_, max_, position_);
}

void ConsoleStaticText::SetCaption(const std::string& text) {
  if (text == caption_) return;
  caption_ = text;
  if (OnChange) OnChange(text);
  if (!text.empty()) screen_.StatusLine(text);
}

// ---- ConsoleForm ------------------------------------------------------------------

ConsoleForm::ConsoleForm(app::TEventLoop& loop, ConsoleOutput output,
                         std::span<const std::string_view> imageLines)
    : screen_(std::move(output)), progressBar1_(screen_), staticText1_(screen_), delay_(loop) {
  progSrc_.items.assign(imageLines.begin(), imageLines.end());
  staticText1_.OnChange = [this](const std::string& text) {
    if (OnStatus) OnStatus(text);
  };
  for (const resources::ControlSpec& c : resources::kMainFormControls) {
    switch (c.kind) {
      case resources::ControlKind::ProgressBar:
        progressBar1_.SetMin(c.rangeMin);
        progressBar1_.SetMax(c.rangeMax);
        progressBar1_.SetPosition(c.position);
        break;
      case resources::ControlKind::Timer:
        delay_.SetInterval(static_cast<std::uint32_t>(c.intervalMs));
        delay_.SetEnabled(c.enabled);
        break;
      default:
        break;
    }
  }
}

int ConsoleForm::MessageBox(const std::string& text, const std::string& caption,
                            unsigned /*flags*/) {
  // What the run found out goes first, a plain line each, so that the box's
  // line stays the last.
  std::size_t from = 0;
  while (from < BoxDetails.size()) {
    std::size_t end = BoxDetails.find('\n', from);
    if (end == std::string::npos) end = BoxDetails.size();
    if (end > from) screen_.Error("ks-idu-cli: " + BoxDetails.substr(from, end - from));
    from = end + 1;
  }
  // Every box of this program has an OK button only: answered at once.
  screen_.Box(caption, text);
  if (OnBox) OnBox(text, caption);
  return 1;
}

}  // namespace console
