// A standard .zip of one entry, written as a stream: the local header with
// its sizes left to a data descriptor after the data, the deflate data
// (zlib), the descriptor, the central directory and the end record, and the
// ZIP64 records when the entry is large. The bytes go to a sink as they are
// made, through fixed buffers, so memory does not depend on the entry's size;
// zlib's state lives in a fixed arena, not on the heap. One zip at a time
// per process.
#pragma once

#include <windows.h>

// Receives the zip's bytes in order; 0 stops the zip (a send that failed).
typedef int (*ZipSink)(void *context, const BYTE *data, DWORD length);

// Deflate is flushed to a byte boundary after every this many bytes of the
// entry, so the deflate data of a prefix ending there is known exactly (the
// parts of a log are cut with it, MailParts.h). A flush costs a few bytes.
#define ZIP_FLUSH_INTERVAL 65536

// Entries of at least this many bytes get ZIP64 sizes and records: their
// deflate data may pass 4 GiB. Lowered only by tests.
extern ULONGLONG ZipLargeEntrySize;

// Starts the zip of an entry of `size` bytes, modified at `modified` (null:
// 1980-01-01). The entry's name is UTF-8 (ASCII names are as they are). A null sink only counts the bytes. Non-zero on success.
int ZipBegin(const char *entryName, ULONGLONG size, const FILETIME *modified, ZipSink sink, void *context);

// Adds bytes of the entry; never more than its size in all.
int ZipWrite(const BYTE *data, DWORD length);

// Ends the deflate data and writes the descriptor, the central directory and
// the end records. Non-zero when every byte reached the sink and the entry
// held exactly its size.
int ZipEnd();

// Drops a zip that will not be finished.
void ZipAbandon();

// Bytes of deflate data so far: exact at every flush point and after ZipEnd.
ULONGLONG ZipDeflatedSize();

// Bytes given to the sink so far: after ZipEnd, the size of the whole zip.
ULONGLONG ZipOutputSize();

// The most deflate data that r bytes after a flush point can become, ending
// the data included, and the most bytes whose bound stays within room.
ULONGLONG ZipDeflateBound(ULONGLONG r);
ULONGLONG ZipLargestWithin(ULONGLONG room);

// Bytes of a zip beyond its deflate data, for an entry name of this length.
ULONGLONG ZipContainerSize(size_t nameLength, int large);

// Whether an entry of this size gets the ZIP64 records.
int ZipIsLarge(ULONGLONG size);

// Zips bytes [offset, offset + length) of an open file as one entry named
// entryName (UTF-8), with the file's time. Non-zero on success; a read that fails or
// comes up short fails it, and so does the sink.
int ZipFileRange(HANDLE file, ULONGLONG offset, ULONGLONG length, const char *entryName, ZipSink sink,
                 void *context);
