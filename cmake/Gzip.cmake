# Compresses INPUT into OUTPUT with gzip, with a fixed time stamp so the
# result depends on the content alone.
file(ARCHIVE_CREATE OUTPUT "${OUTPUT}" PATHS "${INPUT}" FORMAT raw COMPRESSION GZip
     MTIME "1970-01-01 00:00:00 UTC")
