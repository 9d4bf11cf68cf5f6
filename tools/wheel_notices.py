"""Adds the copyright notices of the libraries that auditwheel bundled to a repaired wheel.

Usage: wheel_notices.py WHEEL

Redistributing LMDB (OpenLDAP Public License) and libbson (Apache 2.0) in binary form requires
their notices and licence texts alongside. They are taken from the Debian packages that provided
the bundled copies and written to <dist-info>/licenses/bundled/, with RECORD updated.
"""

import base64
import hashlib
import pathlib
import sys
import zipfile

NOTICES = {
    "liblmdb.copyright": "/usr/share/doc/liblmdb0/copyright",
    "libbson.copyright": "/usr/share/doc/libbson-1.0-0/copyright",
    "Apache-2.0.txt": "/usr/share/common-licenses/Apache-2.0",  # libbson's copyright refers to it
}


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def main(wheel: pathlib.Path) -> None:
    tmp = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as dst:
        dist_info = next(n.split("/")[0] for n in src.namelist() if n.endswith(".dist-info/RECORD"))
        added = []
        for item in src.infolist():
            if item.filename != f"{dist_info}/RECORD":
                dst.writestr(item, src.read(item))
        for name, source in NOTICES.items():
            data = pathlib.Path(source).read_bytes()
            arcname = f"{dist_info}/licenses/bundled/{name}"
            dst.writestr(arcname, data)
            added.append(record_line(arcname, data))
        record = src.read(f"{dist_info}/RECORD").decode()
        dst.writestr(f"{dist_info}/RECORD", record + "".join(added))
    tmp.replace(wheel)
    print(f"{wheel.name}: added {', '.join(NOTICES)}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
