# SPDX-License-Identifier: MIT
"""The uplink's message classes, built at import from the schema's
descriptor in schema.py, each set in a descriptor pool of its own so that
they never clash with another copy of the schema in the same process.

Two sets: the schema's own (Envelope, Birth, Batch, ...), for writing
payloads, and `reading`, the same messages with every string field read
as bytes (the same on the wire). A gateway that put bytes that are not
UTF-8 into a text (a driver id off the bus) would otherwise have its whole
payload refused by protobuf; the decoder reads such a text with
replacement characters instead."""

from types import SimpleNamespace

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

from . import schema

_PACKAGE = "vehcan.uplink"
_NAMES = ("Envelope", "Payload", "Birth", "Signal", "StateText", "RawGroup", "Batch",
          "SignalSeries", "RawSeries", "EventWindow")

FILE = descriptor_pb2.FileDescriptorProto.FromString(schema.SERIALIZED)


def _message_class(pool, descriptor):
    # protobuf 4.22 and later name it GetMessageClass; 4.21 (Debian 12) only
    # has the factory's GetPrototype, which later versions dropped.
    get = getattr(message_factory, "GetMessageClass", None)
    if get is not None:
        return get(descriptor)
    return message_factory.MessageFactory(pool).GetPrototype(descriptor)


def _classes(file):
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return pool, {name: _message_class(pool, pool.FindMessageTypeByName(f"{_PACKAGE}.{name}"))
                  for name in _NAMES}


def _strings_as_bytes(file):
    lenient = descriptor_pb2.FileDescriptorProto()
    lenient.CopyFrom(file)
    messages = list(lenient.message_type)
    while messages:
        m = messages.pop()
        messages.extend(m.nested_type)
        for f in m.field:
            if f.type == descriptor_pb2.FieldDescriptorProto.TYPE_STRING:
                f.type = descriptor_pb2.FieldDescriptorProto.TYPE_BYTES
    return lenient


_pool, _schema = _classes(FILE)
Envelope = _schema["Envelope"]
Payload = _schema["Payload"]
Birth = _schema["Birth"]
Signal = _schema["Signal"]
StateText = _schema["StateText"]
RawGroup = _schema["RawGroup"]
Batch = _schema["Batch"]
SignalSeries = _schema["SignalSeries"]
RawSeries = _schema["RawSeries"]
EventWindow = _schema["EventWindow"]

# The messages as the decoder reads them: strings as bytes.
reading = SimpleNamespace(**_classes(_strings_as_bytes(FILE))[1])


def text(data):
    """A string field read as bytes, as text (bytes that are not UTF-8 become
    U+FFFD)."""
    return data.decode("utf-8", "replace")


def _enum(name):
    return {v.name: v.number for v in _pool.FindEnumTypeByName(f"{_PACKAGE}.{name}").values}


# The enumerations' numbers by name, e.g. COMPRESSION["COMPRESSION_ZSTD"] == 1.
COMPRESSION = _enum("Compression")
SIGNAL_KIND = _enum("SignalKind")
RECONSTRUCTION = _enum("Reconstruction")
SPECIAL_STATE = _enum("SpecialState")
EVENT_CAUSE = _enum("EventCause")
