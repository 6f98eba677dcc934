/*
 * gzip by the fastest decoders the system has (logfile_inflate.cpp), for
 * the decoders of logfile_decode.cpp.
 */
#ifndef LOGFILE_INFLATE_H
#define LOGFILE_INFLATE_H

#include <cstddef>
#include <cstdint>

#include "logfile.h"

/*
 * The size of the text of gzip data in fd, whose first have bytes are at
 * buf, as its trailer gives it (of the last member, modulo 2^32), where
 * that can be true; else UINT64_MAX.
 */
uint64_t logfile_gzipsize(int fd, const char *buf, size_t have);
/*
 * Decode fd, read from its start, whose first have bytes are at buf, into
 * the copy, through buf of 2 x logfile_blocksize bytes; size is what
 * logfile_gzipsize gave.  whole; unserved when there is no such decoder,
 * buf untouched; damaged when it fails, which leaves a copy to take back
 * and buf overwritten.
 */
logfile_verdict logfile_inflate(logfile_copying *c, int fd, char *buf, size_t have, uint64_t size);
/* Give back what the decoders took, before the index is made. */
void logfile_inflatefree(void);

#endif
