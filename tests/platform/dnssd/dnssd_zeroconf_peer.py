#!/usr/bin/env python3
"""An independent DNS-SD peer (python3-zeroconf) for the interoperability tests.

  register NAME PORT ADDRESS   advertise NAME._sorvanta._tcp with TXT v=9, id=zeroconf-peer
                               on the interface holding ADDRESS; prints "registered" and
                               stays until its standard input closes, then unregisters.
  resolve NAME ADDRESS SECONDS browse and resolve NAME._sorvanta._tcp; prints one line
                               "found PORT key=value ..." (TXT sorted by key) or "missing".
"""
import socket
import sys
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, Zeroconf

SERVICE_TYPE = "_sorvanta._tcp.local."


def open_zeroconf(address):
    return Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)


def register(name, port, address):
    zc = open_zeroconf(address)
    info = ServiceInfo(
        SERVICE_TYPE,
        name + "." + SERVICE_TYPE,
        port=int(port),
        properties={"v": "9", "id": "zeroconf-peer"},
        server="zeroconf-peer.local.",
        addresses=[socket.inet_aton(address)],
    )
    zc.register_service(info)
    print("registered", flush=True)
    sys.stdin.read()
    zc.unregister_service(info)
    zc.close()


def resolve(name, address, seconds):
    zc = open_zeroconf(address)
    full = name + "." + SERVICE_TYPE
    seen = []

    class Listener:
        def add_service(self, zc_, type_, found):
            seen.append(found)

        def update_service(self, zc_, type_, found):
            pass

        def remove_service(self, zc_, type_, found):
            pass

    browser = ServiceBrowser(zc, SERVICE_TYPE, Listener())
    deadline = time.monotonic() + float(seconds)
    result = "missing"
    while time.monotonic() < deadline:
        if full in seen:
            info = zc.get_service_info(SERVICE_TYPE, full, timeout=2000)
            if info is not None and info.port:
                txt = sorted(
                    k.decode() + "=" + (v.decode() if v is not None else "")
                    for k, v in info.properties.items()
                )
                result = "found %d %s" % (info.port, " ".join(txt))
                break
        time.sleep(0.05)
    print(result, flush=True)
    browser.cancel()
    zc.close()


if __name__ == "__main__":
    if sys.argv[1] == "register":
        register(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "resolve":
        resolve(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit("unknown mode")
