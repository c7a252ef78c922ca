"""contentFile staging under Wine: data files land in the Windows temporary
folder's "kelto_data_signed\\" or in a workingDirectory given as a Windows
path, are gone when the reply comes, and two instances started at once never
pick the same name (the named mutex works across processes)."""
import base64
import os
import subprocess
import threading
import unittest

import hostproc
from test_wine_common import DEBUG_HOST, STAGED_NAME, WineCase, request, winepath


class Staging(WineCase):
    def test_data_files_land_in_the_working_directory_and_are_removed(self):
        temp_win = winepath("-w", self.temp)
        linux_dir = os.path.join(self.work, "on linux")
        os.mkdir(linux_dir)
        # (workingDirectory sent, where the file must land: Windows, Linux)
        places = [(None, temp_win + "\\kelto_data_signed\\", self.staging_dir),
                  (self.work_win + "\\wd", self.work_win + "\\wd\\",
                   os.path.join(self.work, "wd")),
                  (self.work_win + "\\wd2\\", self.work_win + "\\wd2\\",
                   os.path.join(self.work, "wd2")),
                  (winepath("-w", linux_dir), winepath("-w", linux_dir) + "\\", linux_dir)]
        content = os.urandom(7000)
        original, _ = self.write("original.bin", content)
        before = self.logs()
        talk = self.conversation(DEBUG_HOST)
        for (working, _, where), (container, kind) in zip(
                places, (("kelto-sig", "RAW"), ("kelto-exch", "PKCS#7"),
                         ("kelto-sig", "PKCS#7"), ("kelto-exch", "RAW"))):
            with self.subTest(workingDirectory=working, signatureType=kind):
                data = request("getSignature", container, signatureType=kind,
                               storageType="STORAGE",
                               contentFile=base64.b64encode(content).decode())
                if working is not None:
                    data["workingDirectory"] = working
                signature = self.signature_of(talk.send(data), data)
                if kind == "RAW":
                    self.verify_raw(signature, container, original)
                else:
                    self.verify_cms(signature, container, original)
                self.assertEqual(os.listdir(where), [], "the data file is removed")
        talk.close()
        _, records = self.new_log(before)
        written = [m for *_, f, _, m in records if f == "createDataFile"]
        self.assertEqual(len(written), len(places), written)
        for message, (_, directory, where) in zip(written, places):
            with self.subTest(record=message):
                self.assertTrue(message.startswith("Write file " + directory), message)
                self.assertTrue(message.endswith(" ok..."), message)
                name = message[len("Write file " + directory):-len(" ok...")]
                self.assertRegex(name, STAGED_NAME)
                self.assertFalse(os.path.exists(os.path.join(where, name)))

    def test_two_instances_stage_at_once_without_collision(self):
        shared_win = self.work_win + "\\shared"
        shared = os.path.join(self.work, "shared")
        jobs = []
        for instance in range(2):
            contents, frames = [], []
            for i in range(16):
                content = os.urandom(20000 + i)
                data = request("getSignature", "kelto-sig",
                               contentFile=base64.b64encode(content).decode())
                # Half in a shared working directory, half in the default one.
                if i % 2:
                    data["workingDirectory"] = shared_win
                contents.append((content, data))
                frames.append(hostproc.frame({"data": data}))
            proc = subprocess.Popen(hostproc.command(), stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    env=hostproc.host_env())
            jobs.append((proc, b"".join(frames), contents, {}))

        def talk(proc, stdin, _contents, out):
            out["stdout"], _ = proc.communicate(stdin, timeout=hostproc.TIMEOUT)

        threads = [threading.Thread(target=talk, args=job) for job in jobs]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for instance, (proc, _, contents, out) in enumerate(jobs):
            replies = hostproc.split_frames(out.get("stdout", b""))
            self.assertEqual(len(replies), len(contents), "instance %d" % instance)
            for i, ((content, data), text) in enumerate(zip(contents, replies)):
                with self.subTest(instance=instance, request=i):
                    # Signed over its own bytes: no instance read the other's file.
                    path, _ = self.write("content.bin", content)
                    self.verify_raw(self.signature_of(text.decode("utf-8"), data),
                                    "kelto-sig", path)
        self.assertEqual(os.listdir(shared), [])
        self.assertEqual(os.listdir(self.staging_dir), [])


if __name__ == "__main__":
    unittest.main()
