"""The failures of agentclient: every call that fails raises Error or one of its subclasses."""


class Error(Exception):
    """A failed call.

    Attributes:
        code: the status code (the Pa... codes of pa.h, e.g. 3 for a generic failure,
            6 when no connection could be made, 17 when the agent does not know the request).
        classification: the class of the last Client-Library message: 14 none, 15 a network
            error, 13 any other.
        agent_text: the agent's own reason when it refused, else "".
        timed_out: whether the agent did not answer within the connection's time-out.
    """

    def __init__(self, message, *, code=3, classification=14, agent_text="", timed_out=False):
        super().__init__(message)
        self.code = code
        self.classification = classification
        self.agent_text = agent_text
        self.timed_out = timed_out

    def __repr__(self):
        return (f"{type(self).__name__}({str(self)!r}, code={self.code}, "
                f"classification={self.classification}, agent_text={self.agent_text!r}, "
                f"timed_out={self.timed_out})")


class Unreachable(Error):
    """The agent could not be reached, or did not answer within the time-out."""


class Refused(Error):
    """The agent refused the login or the request; agent_text says why when it did."""


class NotSupported(Error):
    """The agent does not know the request: it is older than this library."""
