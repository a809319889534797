// Stands in for the provider's IFrame player API in tests: the same global callback, constructor,
// methods and events, driven by the test through window.__standin. Every call from the page is
// recorded in window.__calls. Nothing here talks to the network.
(function () {
    var config = window.__standinConfig || {};
    window.__calls = [];
    window.__standin = {};

    function Player(elementId, options) {
        var self = this;
        var state = -1;
        var base = 0;
        var startedAt = 0;
        var duration = config.duration || 120;
        function position() {
            var t = state === 1 ? base + (Date.now() - startedAt) / 1000 : base;
            return Math.min(t, duration);
        }
        function setState(code) {
            state = code;
            options.events.onStateChange({ data: code });
        }
        self.getDuration = function () { return duration; };
        self.getCurrentTime = function () { return position(); };
        self.getPlayerState = function () { return state; };
        self.seekTo = function (t, allowSeekAhead) {
            window.__calls.push("seekTo:" + t + ":" + allowSeekAhead);
            base = t;
            startedAt = Date.now();
        };
        self.playVideo = function () {
            window.__calls.push("playVideo");
            if (state !== 1) { base = position(); startedAt = Date.now(); setState(1); }
        };
        self.pauseVideo = function () {
            window.__calls.push("pauseVideo");
            if (state === 1) { base = position(); setState(2); }
        };
        self.mute = function () { window.__calls.push("mute"); };
        self.unMute = function () { window.__calls.push("unMute"); };

        window.__standin.videoId = options.videoId;
        window.__standin.origin = options.playerVars.origin;
        window.__standin.fireReady = function () { options.events.onReady({ target: self }); };
        window.__standin.fireError = function (code) { options.events.onError({ data: code }); };
        window.__standin.fireState = function (code) { setState(code); };

        // Something to look at: a moving picture with the video's clock.
        var el = document.getElementById(elementId);
        el.innerHTML = '<div id="frame" style="position:absolute;inset:0;display:flex;flex-direction:column;' +
            'align-items:center;justify-content:center;font:bold 22px sans-serif;color:#fff;' +
            'background:linear-gradient(135deg,#1d3557,#457b9d 60%,#a8dadc)">' +
            '<div>Stand-in video ' + options.videoId + '</div>' +
            '<div id="clock" style="font-size:40px;margin-top:8px">0:00.0</div>' +
            '<div id="bar" style="position:absolute;left:0;bottom:0;height:6px;background:#e63946;width:0"></div></div>';
        setInterval(function () {
            var t = position();
            var m = Math.floor(t / 60), s = t - m * 60;
            document.getElementById("clock").textContent = m + ":" + (s < 10 ? "0" : "") + s.toFixed(1);
            document.getElementById("bar").style.width = (100 * t / duration) + "%";
        }, 100);
        if (config.autoReady) {
            setTimeout(window.__standin.fireReady, 50);
        }
    }

    window.YT = { Player: Player };
    (function announce() {
        if (typeof window.onYouTubeIframeAPIReady === "function") {
            window.onYouTubeIframeAPIReady();
        } else {
            setTimeout(announce, 10);
        }
    })();
})();
