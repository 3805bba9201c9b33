{{!
  Block page of orvex-traxd, English.

  The daemon picks the language directory from the browser's
  Accept-Language field and falls back to "en", which must exist. Every
  value below comes from the blocked message or the scanner: print each
  one through an HTML escaping modifier (:h in text and attributes, :U=html
  for a link target), never bare.
}}<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Access blocked</title>
<style>
body { font-family: sans-serif; margin: 3em auto; max-width: 42em; color: #222; }
h1 { font-size: 1.5em; color: #a00; }
.address { word-break: break-all; font-family: monospace; }
footer { margin-top: 3em; font-size: 0.8em; color: #666; }
</style>
</head>
<body>
<h1>Access blocked</h1>
{{#HAS_URL}}<p>Access to <span class="address">{{URL:h}}</span> was blocked.</p>{{/HAS_URL}}
{{#HAS_NO_URL}}<p>The data was blocked.</p>{{/HAS_NO_URL}}
{{#THREAT_DOWNLOAD}}<p>The download carries the threat <strong>{{THREAT:h}}</strong>.</p>{{/THREAT_DOWNLOAD}}
{{#THREAT_UPLOAD}}<p>The upload carries the threat <strong>{{THREAT:h}}</strong>.</p>{{/THREAT_UPLOAD}}
{{#CHECK_ERROR}}<p>The data could not be checked, and unchecked data is not let through.</p>{{/CHECK_ERROR}}
{{#INFECTION_SOURCE}}<p>The site is a known source of infection.</p>{{/INFECTION_SOURCE}}
{{#NOT_RECOMMENDED}}<p>The site is not recommended.</p>{{/NOT_RECOMMENDED}}
{{#BLACK_LIST}}<p>The site is on the black list.</p>{{/BLACK_LIST}}
{{#OWNERS_NOTICE}}<p>The site is blocked on the notice of a copyright owner.</p>
{{#HAS_LEGAL_URL}}<p>A legal offer: <a class="address" href="{{LEGAL_URL:U=html}}">{{LEGAL_URL:h}}</a></p>{{/HAS_LEGAL_URL}}{{/OWNERS_NOTICE}}
{{#BLOCKED_URL}}<p>Sites of this category are blocked:</p>
<p><strong>
{{#UC_ADULT_CONTENT}}adult content{{/UC_ADULT_CONTENT}}
{{#UC_VIOLENCE}}violence{{/UC_VIOLENCE}}
{{#UC_WEAPONS}}weapons{{/UC_WEAPONS}}
{{#UC_GAMBLING}}gambling{{/UC_GAMBLING}}
{{#UC_DRUGS}}drugs{{/UC_DRUGS}}
{{#UC_OBSCENE_LANGUAGE}}obscene language{{/UC_OBSCENE_LANGUAGE}}
{{#UC_CHATS}}chats{{/UC_CHATS}}
{{#UC_TERRORISM}}terrorism{{/UC_TERRORISM}}
{{#UC_FREE_EMAIL}}free email services{{/UC_FREE_EMAIL}}
{{#UC_SOCIAL_NETWORKS}}social networks{{/UC_SOCIAL_NETWORKS}}
{{#UC_ONLINE_GAMES}}online games{{/UC_ONLINE_GAMES}}
{{#UC_ANONYMIZERS}}anonymizers{{/UC_ANONYMIZERS}}
{{#UC_CRYPTOCURRENCY_MINING_POOLS}}cryptocurrency mining pools{{/UC_CRYPTOCURRENCY_MINING_POOLS}}
{{#UC_JOBS}}job search{{/UC_JOBS}}
</strong></p>{{/BLOCKED_URL}}
<p>If you think this is a mistake, please contact your network administrator.</p>
<footer>{{TIMESTAMP:h}}</footer>
</body>
</html>
