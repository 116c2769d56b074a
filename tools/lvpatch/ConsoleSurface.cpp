#include "ConsoleSurface.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>

namespace {

// Redrawing the live line on every block would cost more than the block.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

int TerminalWidth(FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

std::string FormatDuration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char buffer[32];
    if (total >= 3600)
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
    return buffer;
}

}  // namespace

std::string FormatBytes(int64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char buffer[32];
    if (unit == 0)
        std::snprintf(buffer, sizeof buffer, "%" PRId64 " B", bytes);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
    return buffer;
}

ConsoleSurface::ConsoleSurface(FILE* out, FILE* err, bool live)
    : out_(out), err_(err), live_(live) {}

void ConsoleSurface::SetStageText(const std::string& text) {
    stage_ = text;
    if (live_) {
        DrawLiveLine(true);
    } else if (text != lastPrinted_ && text != " ") {
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
        lastPrinted_ = text;
    }
}

void ConsoleSurface::SetStatusText(const std::string& text) {
    status_ = text;
    if (text.empty() || text == lastPrinted_)
        return;
    EndLiveLine();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    lastPrinted_ = text;
}

void ConsoleSurface::SetProgressRange(int64_t low, int64_t high) {
    low_ = low;
    high_ = high;
    rangeSet_ = true;
    rangeSetAt_ = Clock::now();
}

void ConsoleSurface::SetProgressPos(int64_t pos) {
    pos_ = pos;
    if (live_)
        DrawLiveLine(false);
}

void ConsoleSurface::ShowMessageBox(const std::string& caption, const std::string& text) {
    EndLiveLine();
    std::fprintf(err_, "[%s]\n%s\n", caption.c_str(), text.c_str());
    std::fflush(err_);
}

void ConsoleSurface::RunFinished(bool success) {
    EndLiveLine();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    success_ = success;
    finishedChanged_.notify_all();
}

bool ConsoleSurface::WaitForFinish() {
    std::unique_lock<std::mutex> lock(mutex_);
    finishedChanged_.wait(lock, [this] { return finished_; });
    return success_;
}

void ConsoleSurface::DrawLiveLine(bool force) {
    Clock::time_point now = Clock::now();
    if (!force && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;

    // Figures first, so a narrow terminal cuts the stage text, not them.
    std::string line;
    int64_t span = high_ - low_;
    if (rangeSet_ && span > 1) {
        int64_t done = std::clamp(pos_ - low_, int64_t{0}, span);
        double fraction = static_cast<double>(done) / static_cast<double>(span);
        constexpr int kBarWidth = 20;
        int filled = static_cast<int>(fraction * kBarWidth);
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
        // "[" + std::string(...) at -O3.
        line += '[';
        line.append(static_cast<size_t>(filled), '#');
        line.append(static_cast<size_t>(kBarWidth - filled), '-');
        line += "] ";
        line += FormatBytes(done) + " of " + FormatBytes(span);
        double seconds = std::chrono::duration<double>(now - rangeSetAt_).count();
        if (seconds > 0.5 && done > 0) {
            double rate = static_cast<double>(done) / seconds;
            line += "  " + FormatBytes(static_cast<int64_t>(rate)) + "/s";
            line += "  " + FormatDuration(static_cast<double>(span - done) / rate) + " left";
        }
        line += "  ";
    }
    line += stage_;
    size_t width = static_cast<size_t>(TerminalWidth(out_)) - 1;
    if (line.size() > width)
        line.resize(width);
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
    lineOpen_ = true;
}

void ConsoleSurface::EndLiveLine() {
    if (!lineOpen_)
        return;
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
}
