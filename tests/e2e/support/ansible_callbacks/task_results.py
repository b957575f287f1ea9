"""An Ansible callback for the tests that run ansible-playbook: every task's result on every
host, and the run's stats, written as one JSON file (TASK_RESULTS_FILE) when the run ends, so that
a test reads what each task returned without reading the lines meant for people."""

import json
import os

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "task_results"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.tasks = []

    def _record(self, result):
        name = result._task.get_name()
        if not self.tasks or self.tasks[-1]["name"] != name:
            self.tasks.append({"name": name, "hosts": {}})
        self.tasks[-1]["hosts"][result._host.get_name()] = result._result

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result)

    def v2_runner_on_unreachable(self, result):
        self._record(result)

    def v2_runner_on_skipped(self, result):
        self._record(result)

    def v2_playbook_on_stats(self, stats):
        hosts = sorted(stats.processed.keys())
        report = {"tasks": self.tasks, "stats": {host: stats.summarize(host) for host in hosts}}
        with open(os.environ["TASK_RESULTS_FILE"], "w") as out:
            json.dump(report, out)
