// Whether an MP4 holds anything to play: a result without a single sample
// is refused rather than written, and a job whose input stands for one kind
// of track (the video of a merge) checks that it holds samples of it.
#pragma once

#include <optional>

#include "core/bytes.hpp"

namespace quaver {

// True when a trak of the moov has a sample in its sample table, or a traf
// of a top-level moof has one in its runs. With a handler ("vide", "soun"),
// only the tracks of that handler count; fragments are matched to them by
// track ID, so fragments without a moov before them count only when no
// handler is named. Boxes that cannot be read end the search: what lies
// beyond them is not counted.
bool holds_samples(ByteView mp4, std::optional<FourCC> handler = std::nullopt);

}  // namespace quaver
