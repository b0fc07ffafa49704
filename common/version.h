// File and product version of every deliverable, in one place. The client
// update compares file versions, so a client change must raise them here.
#pragma once

#define QV_VER_MAJOR    1
#define QV_VER_MINOR    2
#define QV_VER_BUILD    0
#define QV_VER_REVISION 6

// The same number as text, for the version resource (keep the two in step).
#define QV_VERSION_STRING "1.2.0.6"

// The demonstration's "newer" add-in (a simulation build that the demo's
// server offers to its client) is the same code one revision up.
// (Indented, so that the scripts reading the one version above skip it.)
#ifdef QV_DEMO_NEXT_VERSION
#  undef QV_VER_REVISION
#  undef QV_VERSION_STRING
#  define QV_VER_REVISION 7
#  define QV_VERSION_STRING "1.2.0.7"
#endif
