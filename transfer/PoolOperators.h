// The bodies of the driver's four global allocation operators, by name, so that they can
// be exercised directly; the operators themselves stay inside the driver image.
#pragma once

#include "platform/platform.h"

void* poolNew(size_t size);
void* poolNewArray(size_t size);
void poolDelete(void* block);
void poolDeleteArray(void* block);
