// Images a tool makes for a request.
#include "orvanta/skeleton.h"

namespace orvanta {

OwnedImage NewImageLike(const Image* like, Clearing clearing) {
  TagList tags{{ImLike, static_cast<const void*>(like)}};
  if (clearing == Clearing::kUncleared) tags.Add({ImUncleared, 1});
  return OwnedImage(NewImage(tags));
}

TagList OwnerImageTags(ImageOwner* owner, int32_t width, int32_t height, Clearing clearing) {
  // Red, green, blue and alpha, each by its place in the host's storage (blue 0 to alpha 3).
  TagList tags{{ImOwner, static_cast<const void*>(owner)},
               {ImWidth, width},
               {ImHeight, height},
               {ImChannel, 2},
               {ImChannel, 1},
               {ImChannel, 0},
               {ImChannel, 3}};
  if (clearing == Clearing::kUncleared) tags.Add({ImUncleared, 1});
  return tags;
}

}  // namespace orvanta
