#include "mp4_parser/track_ids.hpp"

#include <algorithm>
#include <unordered_set>


namespace quaver {

std::optional<std::uint32_t> first_repeated_track_id(const std::vector<CollectedTrack>& tracks, std::size_t begin,
                                                     std::size_t end) {
  std::unordered_set<std::uint32_t> seen;
  for (std::size_t i = begin; i < end; ++i) {
    if (!seen.insert(tracks[i].fragments.track_id).second) return tracks[i].fragments.track_id;
  }
  return std::nullopt;
}

void renumber_colliding_tracks(std::vector<CollectedTrack>& tracks, std::size_t audio_begin) {
  std::unordered_set<std::uint32_t> video_ids, taken;
  std::uint32_t largest_video_id = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const std::uint32_t id = tracks[i].fragments.track_id;
    taken.insert(id);
    if (i < audio_begin) {
      video_ids.insert(id);
      largest_video_id = std::max(largest_video_id, id);
    }
  }
  // 64 bits, so that the step past 0xFFFFFFFF is seen and wraps to 1 (an ID
  // of 0 is not a valid track ID). Fewer IDs are taken than there are
  // tracks, so a free one is always found.
  std::uint64_t candidate = std::uint64_t{largest_video_id} + 1;
  for (std::size_t i = audio_begin; i < tracks.size(); ++i) {
    if (!video_ids.contains(tracks[i].fragments.track_id)) continue;
    for (;; ++candidate) {
      if (candidate > 0xFFFFFFFFu) candidate = 1;
      if (!taken.contains(static_cast<std::uint32_t>(candidate))) break;
    }
    const auto id = static_cast<std::uint32_t>(candidate++);
    tracks[i].fragments.track_id = id;
    taken.insert(id);
  }
}

}  // namespace quaver
