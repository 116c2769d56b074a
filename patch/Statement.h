#pragma once
// The build statement's text, as lvpublish writes it and a launcher reads it
// (what a statement means and who may sign one: Trust.h, KeyList.h).
//
// Statement format (every line ends with a line feed, nothing else is
// allowed, fields in this order, one blank after each keyword):
//
//   lantern-vale-build-statement 2
//   key <public key: 64 hex digits>
//   product <short name>
//   channel <short name>
//   build-folder <the build folder as build_folder.txt names it>
//   serial <decimal, 1 to 18 digits, no leading zero>
//   manifest-sha256 <64 hex digits>
//   expires <YYYY-MM-DDTHH:MM:SSZ, UTC>
//   signature <128 hex digits>
//
// The signature covers every byte before the "signature" line. Hex digits
// are lowercase. A short name is 1 to 64 letters, digits, '-', '_' or '.'.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct BuildStatement {
    std::string key;  // 64 lowercase hex digits
    std::string product;
    std::string channel;
    std::string buildFolder;
    uint64_t serial = 0;
    std::string manifestSha256;  // 64 lowercase hex digits
    int64_t expires = 0;         // seconds since 1970-01-01 UTC
    std::string signature;       // 128 lowercase hex digits; empty until signed
};

// The signed part of the statement.
std::string StatementBody(const BuildStatement& statement);
// The whole file: body and signature line.
std::string FormatStatement(const BuildStatement& statement);
// Strict: anything that FormatStatement would not have written is refused.
std::optional<BuildStatement> ParseStatement(std::string_view text);
// What a product or channel may be called (the build options LV_PRODUCT and
// LV_CHANNEL are held to the same rule when the launcher is configured).
bool IsShortName(std::string_view name);

std::string FormatUtc(int64_t secondsSinceEpoch);
std::optional<int64_t> ParseUtc(std::string_view text);
