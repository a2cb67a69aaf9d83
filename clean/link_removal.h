// Removal and repair of the worm's links.
#ifndef CLEAN_LINK_REMOVAL_H
#define CLEAN_LINK_REMOVAL_H

#include "detect/worm_links.h"

// Looks at every link again, with full access, and removes or repairs each one that
// carries the worm: the exefile open command becomes the clean one, every marked Run and
// RunServices value goes (in both views under WoW64), the ".dl" class goes with its
// subtree, run= is emptied and shell= becomes "Explorer.exe". Returns the mask of the links
// it removed; a step that fails leaves only its own bit clear. Under WoW64 a Run or
// RunServices bit says that the link was removed in one of its views: the look afterwards
// (links_left) tells whether either view still holds it.
worm_link_mask remove_worm_links(void);

#endif
