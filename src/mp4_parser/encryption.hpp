// Encrypted tracks, which quaver carries but does not decrypt.
//
// A protected sample entry (encv, enca, ...) wraps the track's real format
// in a sinf box, whose schm names the protection scheme ("cenc", "cbcs",
// ...). Its samples decode only after decryption with per-sample data (IVs,
// clear and encrypted ranges) kept beside them: senc, saiz/saio or a PIFF
// uuid box in each fragment, or in the stbl. A regular file rebuilt from the
// samples alone, or a key frame of encrypted slices, would look right and
// never play, so the jobs that rebuild sample tables or hand out a sample
// refuse such a track instead.
#pragma once

#include <cstdint>

#include "core/bytes.hpp"
#include "core/result.hpp"

namespace quaver {

// Success for an stsd body without a protected sample entry; otherwise
// the refusal naming the track and the scheme, 'Encrypted track 1 (scheme
// "cenc"): quaver does not decrypt' (an unsupported input).
Result<void> refuse_encrypted(ByteView stsd_body, std::uint32_t track_id);

}  // namespace quaver
