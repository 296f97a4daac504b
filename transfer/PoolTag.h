#pragma once

// "Wemb" as it reads in memory: the first character is the lowest byte.
#define RAVO_POOL_TAG ((ULONG)('W' | ('e' << 8) | ('m' << 16) | ('b' << 24)))
