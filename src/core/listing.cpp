// Numbered listing text: built whole in spdbgoutptr, written in one raw write.
#include "core/core.h"

#include "main/main.h"

int32_t dwiotkn;
int32_t berrproc;

void fncprintdebuggnptrdata_index_filename(const loopptrstructure *, int32_t, int32_t,
                                           const int32_t *, loopptrstructure *) {}

void fncprintdebuggnptrdata_index_charptr(const loopptrstructure *, int32_t, int32_t,
                                          const int32_t *, loopptrstructure *) {}

void fncprintdebuggnptrdata_num_char(const loopptrstructure *, int32_t, int32_t, const int32_t *,
                                     loopptrstructure *) {}

void fnc_iotransfrdata_write_stream() {}
