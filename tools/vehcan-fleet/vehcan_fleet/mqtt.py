# SPDX-License-Identifier: MIT
"""The broker side of `vehcan-fleet listen`: the URL and topic rules of
vehcan's own uplink (docs/fleet.md), and a subscription that survives the
broker going away: it connects again 1 s later, doubling to 60 s, and
subscribes again, so the retained birth comes again too."""

import os
import ssl
import threading

import paho.mqtt.client as paho

PASSWORD_VARIABLE = "VEHCAN_MQTT_PASSWORD"
_KEEPALIVE_S = 30
_LOOP_WAIT_S = 0.5
_LONGEST_WAIT_S = 60


class UrlError(ValueError):
    pass


def parse_url(url):
    """(host, port, tls) of mqtt://host[:port] or mqtts://host[:port]
    (ports 1883 and 8883 by default; an IPv6 address in brackets)."""
    def bad(why):
        return UrlError(f"'{url}': {why} (expected mqtt://host[:port] or mqtts://host[:port])")
    for scheme, port, tls in (("mqtt://", 1883, False), ("mqtts://", 8883, True)):
        if url.startswith(scheme):
            rest = url[len(scheme):]
            break
    else:
        raise bad("unknown scheme")
    if rest.endswith("/"):
        rest = rest[:-1]
    port_text = None
    if rest.startswith("["):
        close = rest.find("]")
        if close < 0:
            raise bad("no ']' after the IPv6 address")
        host, rest = rest[1:close], rest[close + 1:]
        if rest and not rest.startswith(":"):
            raise bad("text after the address")
        if rest:
            port_text = rest[1:]
    else:
        host, _, port_text = rest.partition(":")
        port_text = port_text if ":" in rest else None
        if port_text is not None and ":" in port_text:
            raise bad("bad port")
    if not host:
        raise bad("no host")
    if any(c in host for c in "/?@ "):
        raise bad("a path, query or user in the URL (use --user)")
    if port_text is not None:
        if not port_text.isdigit() or not 1 <= int(port_text) <= 65535:
            raise bad(f"bad port '{port_text}'")
        port = int(port_text)
    return host, port, tls


def add_login_options(parser, key_option):
    """The broker's login options of listen and command: --user and the TLS
    files; the client key's option is named key_option (command's own --key
    is its signing key), its value is args.tls_key."""
    parser.add_argument("--user", metavar="NAME",
                        help=f"user name; the password comes from ${PASSWORD_VARIABLE}")
    parser.add_argument("--ca", metavar="FILE",
                        help="mqtts://: the CA that signed the broker's certificate")
    parser.add_argument("--cert", metavar="FILE", help="mqtts://: a client certificate")
    parser.add_argument(key_option, dest="tls_key", metavar="FILE",
                        help="mqtts://: its private key")


def login_problem(args, url, url_label, key_option):
    """What is wrong with the broker's URL (named url_label in the text) or
    with the TLS files of add_login_options() for it, or None."""
    try:
        _, _, tls = parse_url(url)
    except UrlError as e:
        return f"{url_label} {e}"
    files = (("--ca", args.ca), ("--cert", args.cert), (key_option, args.tls_key))
    if any(f for _, f in files) and not tls:
        return f"--ca, --cert and {key_option} need an mqtts:// URL"
    if (args.cert is None) != (args.tls_key is None):
        return f"--cert and {key_option} go together"
    for option, f in files:
        if f is not None and not os.access(f, os.R_OK):
            return f"{option} {f}: cannot read it"
    return None


def topic_level(name):
    """A name as one topic level, as vehcan makes it: '/', '+', '#', spaces
    and control characters become '_'."""
    s = "".join("_" if c in "/+#" or ord(c) <= 0x20 or ord(c) == 0x7F else c for c in name)
    return s or "unknown"


def make_client(url, client_id, session=False, user=None, ca=None, cert=None, key=None):
    """(paho client, host, port) for a broker URL: MQTT 3.1.1, the user's
    password from $VEHCAN_MQTT_PASSWORD, TLS for mqtts:// (without ca, the
    system's certificate authorities; the broker's name is checked against
    its certificate; cert and key: a client certificate). Raises UrlError,
    or OSError / ValueError for a TLS file that cannot be used."""
    host, port, tls = parse_url(url)
    # paho 2 asks which callback signatures are meant: 1.x's, as here.
    version = getattr(paho, "CallbackAPIVersion", None)
    extra = {"callback_api_version": version.VERSION1} if version else {}
    client = paho.Client(client_id=client_id or "", clean_session=not session,
                         protocol=paho.MQTTv311, **extra)
    if user:
        client.username_pw_set(user, os.environ.get(PASSWORD_VARIABLE))
    if tls:
        context = ssl.create_default_context(cafile=ca)
        if cert:
            context.load_cert_chain(cert, key)
        client.tls_set_context(context)
    return client, host, port


def refusal(rc, host, port, login_hint):
    """The text of a CONNACK refusal that retrying cannot mend (4: bad user
    name or password, 5: not authorised), else None."""
    if rc not in (4, 5):
        return None
    return (f"the broker at {host}:{port} refused the connection "
            f"({'bad user name or password' if rc == 4 else 'not authorised'}): "
            f"check {login_hint}")


class Subscription:
    """Subscribes to topics at a broker until stop() and hands each message
    to on_message(topic, payload). say(text) gets the connection's news in
    one line each. run() returns None after stop(), or the broker's refusal
    (a text) when it refused the user name, password or subscription."""

    def __init__(self, url, topics, say, on_message, user=None, ca=None, cert=None, key=None,
                 client_id=None, session=False, qos=1):
        self.client, self.host, self.port = make_client(url, client_id, session, user, ca,
                                                        cert, key)
        self.topics = topics
        self.say = say
        self.on_message = on_message
        self.qos = qos
        self._stop = threading.Event()
        self.refused = None
        self._lost_reason = None
        self._wait_s = 0
        self.client.on_connect = self._connected
        self.client.on_subscribe = self._subscribed
        self.client.on_message = self._message
        self.client.on_disconnect = self._disconnected

    def stop(self):
        """Ends run() within about half a second (safe from a signal handler)."""
        self._stop.set()

    def run(self):
        where = f"{self.host}:{self.port}"
        while not self._stop.is_set():
            self._lost_reason = None
            try:
                self.client.connect(self.host, self.port, keepalive=_KEEPALIVE_S)
            except (OSError, ValueError) as e:
                self._again(f"no connection to {where}: {e.strerror or e}"
                            if isinstance(e, OSError) else f"no connection to {where}: {e}")
                continue
            while not self._stop.is_set():
                rc = self.client.loop(timeout=_LOOP_WAIT_S)
                if rc != paho.MQTT_ERR_SUCCESS:
                    self._lost_reason = self._lost_reason or paho.error_string(rc)
                    break
            if self.refused:
                return self.refused
            if not self._stop.is_set():
                self._again(f"lost the broker {where}: {self._lost_reason}")
        self.client.disconnect()
        return None

    def _again(self, why):
        self._wait_s = 1 if self._wait_s == 0 else min(self._wait_s * 2, _LONGEST_WAIT_S)
        self.say(f"{why}; trying again in {self._wait_s} s")
        self._stop.wait(self._wait_s)

    # ---- paho's callbacks, inside client.loop() ----

    def _connected(self, client, userdata, flags, rc):
        if rc == 0:
            self._wait_s = 0
            client.subscribe([(t, self.qos) for t in self.topics])
            return
        # The other refusals may pass.
        self.refused = refusal(rc, self.host, self.port, f"--user and ${PASSWORD_VARIABLE}")
        self._lost_reason = paho.connack_string(rc)
        client.disconnect()

    def _subscribed(self, client, userdata, mid, granted_qos):
        refused = [t for t, q in zip(self.topics, granted_qos) if q == 0x80]
        if refused:
            self.refused = f"the broker at {self.host}:{self.port} refused the subscription to " \
                           f"{', '.join(refused)}"
            client.disconnect()
            return
        self.say(f"subscribed at {self.host}:{self.port} to {', '.join(self.topics)}")

    def _message(self, client, userdata, message):
        self.on_message(message.topic, message.payload)

    def _disconnected(self, client, userdata, rc):
        if rc != 0 and self._lost_reason is None:
            self._lost_reason = "connection closed"
