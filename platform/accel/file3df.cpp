// file3df.cpp: placeholder until the 3DF reader lands: no file is valid.
#include "texture.h"

int32_t tdf_get_info(const char *, Gu3dfInfo *) { return 0; }
int32_t tdf_load(const char *, Gu3dfInfo *) { return 0; }
