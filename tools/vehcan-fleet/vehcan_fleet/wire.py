# SPDX-License-Identifier: MIT
"""An MQTT payload of the compact uplink (an Envelope) to the Birth or Batch
it holds, with the reader's bounds: the format's version, the compression,
and the size a body may decompress to. docs/fleet-format.md, "Framing"."""

import io
import warnings

import zstandard
from google.protobuf.message import DecodeError

from . import proto

FORMAT_VERSION = 1
# A body that decompresses to more than this is refused: a zip bomb, or
# far more than any batch or event window of a gateway.
DEFAULT_MAX_BODY = 16 << 20

_ZSTD = proto.COMPRESSION["COMPRESSION_ZSTD"]
_NONE = proto.COMPRESSION["COMPRESSION_NONE"]


class FormatError(ValueError):
    """A payload this decoder cannot read; str() says why in one line."""


def _decompress(body, size, max_body):
    # zstd's window is the decompressor's memory: no frame of a body within
    # the bound needs more than the bound.
    window = 1 << max(20, (max_body - 1).bit_length())
    dctx = zstandard.ZstdDecompressor(max_window_size=window)
    try:
        with dctx.stream_reader(io.BytesIO(body), read_across_frames=False) as reader:
            # One byte more than announced tells a body that is larger.
            data = reader.read(size + 1)
    except zstandard.ZstdError as e:
        raise FormatError(f"corrupt zstd body: {e}") from None
    if len(data) > size:
        raise FormatError(f"the body decompresses to more than the {size} bytes its envelope says")
    if len(data) < size:
        raise FormatError(f"the body decompresses to {len(data)} bytes, its envelope says {size}")
    return data


def _parse(message_class, data):
    # protobuf's C++ parser only warns about some damage (an end-group tag
    # out of place) and keeps what it read before it: a refusal here.
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", RuntimeWarning)
        message = message_class.FromString(data)
    if any(issubclass(w.category, RuntimeWarning) for w in seen):
        raise DecodeError(str(seen[0].message))
    return message


def open_envelope(payload, max_body=DEFAULT_MAX_BODY):
    """The Payload message (birth or batch) of one MQTT payload (bytes).
    Raises FormatError, with the reason, for anything else: a payload that is
    not an Envelope, of another format version, with an unknown compression,
    a body larger than max_body or than its envelope says, or a body that is
    neither a birth nor a batch. Memory: at most about max_body beyond the
    payload itself."""
    if len(payload) == 0:
        raise FormatError("empty payload")
    if len(payload) > max_body + 1024:
        raise FormatError(f"a payload of {len(payload)} bytes, over the bound of {max_body}")
    try:
        envelope = _parse(proto.reading.Envelope, payload)
    except DecodeError:
        raise FormatError("not an envelope (truncated or corrupt)") from None
    if envelope.format != FORMAT_VERSION:
        raise FormatError(f"format version {envelope.format}; this decoder reads version "
                          f"{FORMAT_VERSION}")
    size = envelope.body_size
    if size > max_body:
        raise FormatError(f"a body of {size} bytes, over the bound of {max_body}")
    if envelope.compression == _ZSTD:
        body = _decompress(envelope.body, size, max_body)
    elif envelope.compression == _NONE:
        body = envelope.body
        if len(body) != size:
            raise FormatError(f"an uncompressed body of {len(body)} bytes, the envelope says "
                              f"{size}")
    else:
        raise FormatError(f"unknown compression {envelope.compression}")
    try:
        content = _parse(proto.reading.Payload, body)
    except DecodeError:
        raise FormatError("the body is not a payload (corrupt)") from None
    if content.WhichOneof("content") is None:
        raise FormatError("the body holds neither a birth nor a batch")
    return content


def make_envelope(message, compress=True, level=3):
    """The MQTT payload of a Birth or Batch message: what a gateway sends.
    For tests and tools that write payloads; the gateway's own encoder is
    the C++ one."""
    content = proto.Payload()
    getattr(content, "birth" if message.DESCRIPTOR.name == "Birth" else "batch").CopyFrom(message)
    body = content.SerializeToString()
    envelope = proto.Envelope(format=FORMAT_VERSION, body_size=len(body))
    if compress:
        envelope.compression = _ZSTD
        envelope.body = zstandard.ZstdCompressor(level=level).compress(body)
    else:
        envelope.compression = _NONE
        envelope.body = body
    return envelope.SerializeToString()
