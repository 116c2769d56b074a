#include "RecordingSurface.h"

void RecordingSurface::SetStageText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    stages.push_back(text);
}

void RecordingSurface::SetStatusText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses.push_back(text);
}

void RecordingSurface::SetProgressRange(int64_t low, int64_t high) {
    std::lock_guard<std::mutex> lock(mutex_);
    rangeLow = low;
    rangeHigh = high;
}

void RecordingSurface::SetProgressPos(int64_t pos) {
    std::lock_guard<std::mutex> lock(mutex_);
    positions.push_back(pos);
}

void RecordingSurface::ShowMessageBox(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes.push_back({caption, text});
}

void RecordingSurface::RunFinished(bool success) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++finishedCount;
    lastSuccess = success;
    finished_.notify_all();
}

std::vector<std::string> RecordingSurface::BoxCaptions() const {
    std::vector<std::string> captions;
    for (const Box& box : boxes)
        captions.push_back(box.caption);
    return captions;
}
