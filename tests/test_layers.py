import lmdb

import tarnel


def test_plain_key_of_the_main_table_is_no_collection(path):
    db = tarnel.open(path)
    db.collection("c").put(1, {})
    db.close()
    env = lmdb.open(path, subdir=False, max_dbs=16)
    with env.begin(write=True) as txn:  # a key of the main table, written by another program
        txn.put(b"plain", b"value")
    env.close()
    db = tarnel.open(path)
    assert db.names() == ["c"] and not db.has("plain")
    db.close()
