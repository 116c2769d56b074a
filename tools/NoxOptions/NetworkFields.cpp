#include "NetworkFields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QVBoxLayout>
#include <cmath>

#include "patch/RateLimiter.h"

namespace {

constexpr double kKibibyte = 1024.0;
constexpr double kMebibyte = 1024.0 * 1024.0;

}  // namespace

NetworkFields::NetworkFields(QWidget* window, QVBoxLayout* layout)
    : QObject(window), window_(window) {
    readable_ = settings_.Load() != Settings::LoadResult::kUnreadable;

    auto* row = new QHBoxLayout;
    capped_ = new QCheckBox(QStringLiteral("Limit the Launcher's download speed to"));
    rate_ = new QDoubleSpinBox;
    rate_->setDecimals(1);
    rate_->setMaximum(999999);
    unit_ = new QComboBox;
    unit_->addItems({QStringLiteral("KiB/s"), QStringLiteral("MiB/s")});
    // The launcher raises a lower cap to its least; the field offers no less.
    auto offerTheLeast = [this](int unit) {
        rate_->setMinimum(unit == 1 ? 0.1 : RateLimiter::kMinimumBytesPerSecond / kKibibyte);
    };
    offerTheLeast(0);
    connect(unit_, &QComboBox::currentIndexChanged, this, offerTheLeast);
    row->addWidget(capped_);
    row->addWidget(rate_);
    row->addWidget(unit_);
    layout->addLayout(row);

    auto* proxyRow = new QHBoxLayout;
    proxyRow->addWidget(new QLabel(QStringLiteral("Proxy:")));
    proxy_ = new QLineEdit;
    proxy_->setPlaceholderText(QStringLiteral("the system's setting (or http://HOST:PORT, none)"));
    proxyRow->addWidget(proxy_);
    layout->addLayout(proxyRow);

    std::optional<int64_t> rate = settings_.LimitRate();
    capped_->setChecked(rate.has_value());
    bool whole = rate && *rate % (1024 * 1024) == 0;
    unit_->setCurrentIndex(whole || !rate ? 1 : 0);
    rate_->setValue(rate ? static_cast<double>(*rate) / (whole ? kMebibyte : kKibibyte) : 1.0);
    proxy_->setText(QString::fromStdString(settings_.Get(Settings::kProxyKey).value_or("")));

    // A file too large to be ours is left alone.
    for (QWidget* field : {static_cast<QWidget*>(capped_), static_cast<QWidget*>(rate_),
                           static_cast<QWidget*>(unit_), static_cast<QWidget*>(proxy_)})
        field->setEnabled(readable_);
}

bool NetworkFields::Save() {
    if (!readable_)
        return true;
    const std::string before = settings_.Text();
    const std::optional<int64_t> rateBefore = settings_.LimitRate();
    std::optional<int64_t> rate;
    if (capped_->isChecked())
        rate = std::llround(rate_->value() * (unit_->currentIndex() == 1 ? kMebibyte : kKibibyte));
    // Only a changed cap is written: an untouched file keeps its own words.
    if (rate != rateBefore)
        settings_.SetLimitRate(rate);
    if (!settings_.SetProxy(proxy_->text().trimmed().toStdString())) {
        QMessageBox::warning(window_, QStringLiteral("Lantern Vale Launcher Options"),
                             QStringLiteral("The proxy must be written as http://HOST:PORT, or "
                                            "none, or left empty for the system's setting."));
        return false;
    }
    if (settings_.Text() != before && !settings_.Save()) {
        QMessageBox::warning(window_, QStringLiteral("Lantern Vale Launcher Options"),
                             QStringLiteral("The connection settings could not be saved."));
        return false;
    }
    return true;
}
