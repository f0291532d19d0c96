#pragma once

#include <cstdint>
#include <optional>

namespace ferrant {

enum class Format : std::uint8_t { Text = 0, Json = 1 };

// What a file writer does with its destination's earlier dated files.
struct RetentionPolicy {
    // Dated files more than this many days before today are deleted.
    std::optional<std::uint32_t> days;
    // Finished days' files are gzipped.
    bool compress = false;

    bool active() const { return days.has_value() || compress; }
    friend bool operator==(const RetentionPolicy&, const RetentionPolicy&) = default;
};

// How a writer's lines look, and what it does with older files; fixed when
// the writer is created.
struct WriterSettings {
    bool unix_ts = false;
    bool color = false;
    Format format = Format::Text;
    RetentionPolicy retention{};
    friend bool operator==(const WriterSettings&, const WriterSettings&) = default;
};

}  // namespace ferrant
