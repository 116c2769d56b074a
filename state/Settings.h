#pragma once
// The player's connection settings, kept in "NoxPatch2011_Settings.cfg"
// beside the options file (whose two lines are fixed, so these cannot go
// there). Plain text, one "key = value" setting a line. Lines this launcher
// does not know, "#" comments and blank lines are kept as they stand when the
// file is rewritten, so a newer or older options program loses nothing.
//
// The launcher only reads the file, when a run starts; the options program
// changes values and saves it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Settings {
  public:
    static constexpr const char* kFileName = "NoxPatch2011_Settings.cfg";
    // A file this large was not written by the options program; it is not
    // read, and not rewritten either.
    static constexpr size_t kMaxFileSize = 64 * 1024;

    static constexpr const char* kLimitRateKey = "limit_rate";
    static constexpr const char* kProxyKey = "proxy";

    Settings() = default;
    virtual ~Settings() = default;

    enum class LoadResult { kLoaded, kMissing, kUnreadable };
    // Reads kFileName from the current folder. A missing or unreadable file
    // leaves no settings.
    LoadResult Load();
    void Parse(std::string_view text);
    std::string Text() const;
    // Replaces the file whole (temporary file, flushed, renamed over it), so
    // a crash leaves either the old or the new file. False when it could not.
    bool Save() const;

    // The value of the last line with this key (keys ignore letter case).
    std::optional<std::string> Get(std::string_view key) const;
    // Rewrites the line that counts in place and drops earlier duplicates;
    // a new key goes at the end.
    void Set(std::string_view key, std::string_view value);
    void Remove(std::string_view key);

    // The cap in bytes per second; none when absent, "off" or not a rate.
    std::optional<int64_t> LimitRate() const;
    // None writes "off".
    void SetLimitRate(std::optional<int64_t> bytesPerSecond);

    // What the "proxy" line asks for.
    struct ProxySetting {
        enum class Kind { kAutomatic, kNone, kUrl };
        Kind kind = Kind::kAutomatic;  // absent, empty or not understood
        std::string url;               // with kUrl: "http://HOST:PORT"
    };
    ProxySetting Proxy() const;
    // "" removes the setting (the system's proxy then), "none" or a valid
    // URL sets it; the line stays as it is when it already says the same.
    // False, changing nothing, for anything else.
    bool SetProxy(std::string_view text);

  private:
    struct Line {
        std::string text;  // as read, without its line feed
        std::string key;   // empty: a comment, blank or not a setting
        std::string value;
    };
    std::vector<Line> lines_;
};

// "500 KiB/s", "1.5 MiB/s", "64KiB/s": bytes per second. None for anything
// else, zero and overflowing values included.
std::optional<int64_t> ParseRate(std::string_view text);
// "2 MiB/s" for whole mebibytes, else KiB/s with at most three decimals.
std::string FormatRate(int64_t bytesPerSecond);
// "http://HOST:PORT" (PORT optional, a trailing "/" allowed), HOST a name,
// IPv4 address or bracketed IPv6 address. Nothing else reaches libcurl.
bool IsValidProxyUrl(std::string_view url);
