"""A call of a module function in a daemon thread, as workers run monitors."""

import threading


class CallThread:
    """Runs function(*args) in a daemon thread; keeps its result or error."""

    def __init__(self, function, *args, name=None):
        self.function = function
        self.args = args
        self.result = self.error = None
        self.returned = False
        self.thread = threading.Thread(target=self._run, name=name, daemon=True)

    def _run(self):
        try:
            self.result = self.function(*self.args)
            self.returned = True
        except BaseException as error:  # noqa: B036 - handed to the test
            self.error = error

    def start(self):
        self.thread.start()
        return self

    def join(self, timeout):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the monitor did not end in time"
        return self
