#pragma once

#include <QString>

#include <optional>

namespace parlowvista {

// Number texts of the activity log.

// Shortest round-trip decimal with at least one fractional digit: 0.5 -> "0.5", 1 -> "1.0".
QString shortestDouble(double value);
// "%.1f".
QString formatFixed1(double value);
// An optional count, -1 when absent.
QString countOrMinusOne(std::optional<qint64> value);

// What the error screen and the activity log show of a failure that carries a tool's whole
// error output (ffmpeg's errors, each step that failed on a line of its own; yt-dlp's
// warnings): the text itself when it is one line of at most 500 characters; else its lead-in
// ("Download failed: ") with the tool's "ERROR:" lines, or with its last line (where ffmpeg
// says what failed last and why), cut to 500 characters. The error's details keep the whole
// text.
QString condensedToolError(const QString& text);
// The one line of a tool's error output that says what went wrong: its last "ERROR:" line,
// else its last line that is not blank, cut to 300 characters.
QString lastToolErrorLine(const QString& output);

}  // namespace parlowvista
