#pragma once

#include <cstdint>

namespace ferrant {

enum class Format : std::uint8_t { Text = 0, Json = 1 };

// How a writer's lines look; fixed when the writer is created.
struct WriterSettings {
    bool unix_ts = false;
    bool color = false;
    Format format = Format::Text;
};

}  // namespace ferrant
