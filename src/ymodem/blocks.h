#pragma once

enum class HeaderKind { File, EndOfBatch };

// Frame and write the header (file name and size) or the empty end-of-batch block.
void SendHeaderBlock(HeaderKind kind);
// Frame and write the data block at g_sender.sentOffset; reports progress per data byte.
void SendDataBlock();
