// The docstrings of orvane.kestrix.datasets.records (included by records.cpp
// only).
#pragma once

namespace {

constexpr const char* kModuleDoc = R"doc(Record files of detection samples.

A record file is a sequence of framed records (little-endian uint64 length,
masked CRC-32C of the length, payload, masked CRC-32C of the payload), each
payload a serialized Example with the detection schema:

    image       bytes       encoded JPEG
    image_name  bytes       the image's name
    width       int64       image width in pixels
    height      int64       image height in pixels
    objects     int64 list  one class index per object
    bboxes      float list  4 per object: centre x, centre y, width, height, normalised 0..1
)doc";

constexpr const char* kCountRecordsDoc = R"doc(Counts the records in one or more record files.

Every record's framing and both CRCs are checked, so a damaged file is found
here rather than halfway through training. The GIL is released while reading.

Args:
    paths: a path (str, bytes or os.PathLike) or an iterable of paths.

Returns:
    int: the total number of records over all files.

Raises:
    ValueError: a file is truncated or corrupt; the message names the file, the
        index of the bad record and its byte offset.
    OSError: a file cannot be read (FileNotFoundError for a missing file),
        naming the file.
)doc";

constexpr const char* kReadRecordsDoc = R"doc(Reads every record payload of one record file.

Args:
    path: the record file (str, bytes or os.PathLike).

Returns:
    list[bytes]: the payloads in file order.

Raises:
    ValueError: the file is truncated or corrupt (file, record index, offset named).
    OSError: the file cannot be read.
)doc";

constexpr const char* kEncodeExampleDoc = R"doc(Serializes one detection sample as an Example.

Args:
    image: the encoded image (bytes, bytearray, memoryview or a 1-D uint8 array).
    image_name: str (stored as UTF-8) or bytes.
    width: image width in pixels (int, at least 1).
    height: image height in pixels (int, at least 1).
    objects: class indices, a sequence or array of N integers.
    bboxes: N boxes of normalised centre x, centre y, width, height, as a flat
        sequence of 4*N numbers or an [N, 4] array.

Returns:
    bytes: the serialized Example (readable by tf.train.Example.FromString and
    tf.io.parse_single_example).

Raises:
    TypeError: an argument of the wrong kind (non-integer objects, a str image).
    ValueError: bboxes not of shape [N, 4] / 4*N values for the N objects.
)doc";

constexpr const char* kParseExampleDoc = R"doc(Decodes one serialized detection Example.

Map entries may come in any order, repeated numbers packed or not; unknown
fields and other features are ignored. The GIL is released while decoding.

Args:
    serialized: bytes (np.bytes_ included), a 0-d object or bytes array (as
        tf.numpy_function passes it), an eager string tensor, or any bytes-like
        object.

Returns:
    dict: "image" (bytes), "image_name" (bytes), "width" (int), "height" (int),
    "objects" (np.int64 array [N]) and "bboxes" (np.float32 array [4*N], flat).
    Absent objects/bboxes give empty arrays.

Raises:
    ValueError: the buffer is not a valid Example, a required feature (image,
        image_name, width, height) is missing or does not hold exactly one
        value, or a feature holds the wrong value type.
    TypeError: serialized is not bytes-like.
)doc";

constexpr const char* kWriteRecordsDoc = R"doc(Writes payloads as one record file.

The records go to a hidden temporary file in the target's folder, which is
flushed, synced and renamed over `path` at the end; on any failure the
temporary file is removed and an existing `path` is left untouched.

Args:
    path: the record file to (over)write; its folder must exist.
    records: an iterable of bytes-like payloads.

Returns:
    int: the number of records written.

Raises:
    TypeError: a record is not bytes-like (its index is named).
    OSError: the file cannot be created or written.
)doc";

constexpr const char* kWriteShardsDoc = R"doc(Writes detection samples as sharded record files.

Each sample is a dict with keys "image", "image_name" and optionally "labels"
and "boxes", or a tuple (image, image_name, labels, boxes):

    image       HxWx3 RGB (or HxW / HxWx1 gray) uint8 array, encoded to JPEG
                (quality 95), or already-encoded JPEG bytes
    image_name  str or bytes
    labels      N non-negative integer class indices (integral floats accepted)
    boxes       [N, 4] (or 4*N flat) normalised centre x, centre y, width, height

Width and height are taken from the image (from the JPEG header for encoded
bytes). Shard k of S is named "<prefix>-<k:05d>-of-<S:05d>.tfrecord". All
shards are written to hidden temporary files and moved into place only after
the last sample was written, so an invalid sample leaves no shard behind.

A folder that already holds shards of the same prefix (from an earlier
write) is refused, since readers take every ``*.tfrecord`` of the folder and
would mix both writes. With ``overwrite=True`` they are replaced: the old
shards are removed only once all new ones are in place. Files with other
names are left alone.

Args:
    folder: output folder, created with missing parents.
    samples: an iterable of samples (may be a generator).
    shard_size: records per shard (>= 1), default 100.
    prefix: file-name prefix (no path separators), default "shard".
    overwrite: replace shards of the same prefix already in the folder.

Returns:
    list[str]: the written paths, in shard order.

Raises:
    ValueError: no samples, a bad shard_size or prefix, shards of the same
        prefix already in the folder (without overwrite; they are named), or
        an invalid sample (the message names the sample's index and name).
    TypeError: a sample of the wrong kind.
    OSError: a file cannot be written.
)doc";

}  // namespace
